// The key and signature formats both implementations share: PEM public keys and DER ECDSA
// signatures, read by hand so that Windows and Linux accept exactly the same bytes.
#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

// A P-256 SubjectPublicKeyInfo is this header (SEQUENCE, algorithm id-ecPublicKey with the curve
// prime256v1, BIT STRING of 66 bytes) followed by the uncompressed point.
const unsigned char p256KeyHeader[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
const unsigned char ecPublicKeyOid[] = {0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Standard base64 with white space between the characters; padding only at the end.
std::optional<std::string> decodeBase64(const std::string &text)
{
    std::string bytes;
    unsigned int bits = 0;
    int bitCount = 0;
    int padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            if (++padding > 2)
                return std::nullopt;
            continue;
        }
        const int value = base64Value(c);
        if (value < 0 || padding > 0)
            return std::nullopt;
        bits = (bits << 6) | unsigned(value);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes += char((bits >> bitCount) & 0xff);
        }
    }
    return bytes;
}

bool contains(const std::string &haystack, const unsigned char *needle, std::size_t size)
{
    return std::search(haystack.begin(), haystack.end(), needle, needle + size,
                       [](char a, unsigned char b) {
                           return static_cast<unsigned char>(a) == b;
                       }) != haystack.end();
}

// One DER INTEGER at `at`, a positive number of at most 32 bytes in its shortest form, written
// right-aligned into `out`. Advances `at` past it.
bool readInteger(const std::string &der, std::size_t &at, unsigned char *out)
{
    if (at + 2 > der.size() || static_cast<unsigned char>(der[at]) != 0x02)
        return false;
    const std::size_t length = static_cast<unsigned char>(der[at + 1]);
    at += 2;
    if (length == 0 || length > 33 || at + length > der.size())
        return false;
    const auto *value = reinterpret_cast<const unsigned char *>(der.data() + at);
    at += length;
    if (value[0] & 0x80)
        return false; // negative
    std::size_t skip = 0;
    if (value[0] == 0) {
        // A leading zero is allowed only to keep the next byte's high bit from reading as a sign.
        if (length == 1 || !(value[1] & 0x80))
            return false;
        skip = 1;
    }
    if (length - skip > 32)
        return false;
    std::memset(out, 0, 32);
    std::memcpy(out + 32 - (length - skip), value + skip, length - skip);
    return true;
}

} // namespace

PublicKeyList readP256PublicKeys(const std::string &pem)
{
    static const std::string begin = "-----BEGIN PUBLIC KEY-----";
    static const std::string end = "-----END PUBLIC KEY-----";
    PublicKeyList list;
    if (pem.find("PRIVATE KEY-----") != std::string::npos)
        list.skipped += "a private key, which the launcher never needs, was passed over\n";
    std::size_t at = 0;
    int block = 0;
    while ((at = pem.find(begin, at)) != std::string::npos) {
        const std::size_t bodyStart = at + begin.size();
        const std::size_t bodyEnd = pem.find(end, bodyStart);
        if (bodyEnd == std::string::npos) {
            list.skipped += "public key " + std::to_string(block + 1) + " has no end line\n";
            break;
        }
        ++block;
        at = bodyEnd + end.size();
        const std::optional<std::string> der =
            decodeBase64(pem.substr(bodyStart, bodyEnd - bodyStart));
        const std::string number = "public key " + std::to_string(block);
        if (!der) {
            list.skipped += number + " is not valid base64\n";
            continue;
        }
        const std::size_t headerSize = sizeof(p256KeyHeader);
        if (der->size() == headerSize + 65 &&
            std::memcmp(der->data(), p256KeyHeader, headerSize) == 0 &&
            static_cast<unsigned char>((*der)[headerSize]) == 0x04) {
            P256PublicKey key;
            std::memcpy(key.data(), der->data() + headerSize, key.size());
            list.keys.push_back(key);
        } else if (contains(*der, ecPublicKeyOid, sizeof(ecPublicKeyOid))) {
            list.skipped += number + " is an EC key, but not on the curve P-256 (uncompressed)\n";
        } else {
            list.skipped += number + " is not an EC key\n";
        }
    }
    return list;
}

std::optional<std::array<unsigned char, 64>> decodeDerSignature(const std::string &der)
{
    // Two INTEGERs of at most 33 bytes fit a short-form length; a long form is never needed.
    if (der.size() < 8 || static_cast<unsigned char>(der[0]) != 0x30 ||
        static_cast<unsigned char>(der[1]) != der.size() - 2)
        return std::nullopt;
    std::array<unsigned char, 64> rs;
    std::size_t at = 2;
    if (!readInteger(der, at, rs.data()) || !readInteger(der, at, rs.data() + 32) ||
        at != der.size())
        return std::nullopt;
    const auto isZero = [](const unsigned char *half) {
        return std::all_of(half, half + 32, [](unsigned char b) { return b == 0; });
    };
    if (isZero(rs.data()) || isZero(rs.data() + 32))
        return std::nullopt;
    return rs;
}

} // namespace platform
