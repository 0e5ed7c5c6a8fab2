// The signature and key readers: PEM public keys and DER ECDSA signatures, then the check itself
// with whatever they accepted. The input is read as PEM text, as one key's DER inside a PEM
// block, and as a signature.
#include "platform/platform.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const QByteArray armoured = "-----BEGIN PUBLIC KEY-----\n" +
                                QByteArray(input.data(), qsizetype(input.size())).toBase64() +
                                "\n-----END PUBLIC KEY-----\n";
    static const char message[] = "manifest";
    for (const std::string &pem : {input, armoured.toStdString()}) {
        const platform::PublicKeyList list = platform::readP256PublicKeys(pem);
        for (const platform::P256PublicKey &key : list.keys) {
            // Any point at all, on the curve or not, must only ever fail to verify.
            if (key[0] != 0x04)
                __builtin_trap();
            platform::verifyP256Signature(key, message, sizeof(message), input);
        }
    }
    // A strict DER signature of two 32-byte integers never needs more than 72 bytes.
    if (platform::decodeDerSignature(input) && size > 72)
        __builtin_trap();
    return 0;
}
