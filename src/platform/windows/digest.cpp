#include "platform/platform.h"

#include <windows.h>

#include <bcrypt.h>

#include <limits>

namespace platform {

namespace {
bool succeeded(NTSTATUS status)
{
    return status >= 0;
}
} // namespace

struct Sha256::State
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;

    void closeHash()
    {
        if (hash)
            BCryptDestroyHash(hash);
        hash = nullptr;
    }
    ~State()
    {
        closeHash();
        if (algorithm)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

Sha256::Sha256() : state(std::make_unique<State>())
{
    if (!succeeded(
            BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        state->algorithm = nullptr;
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    state->closeHash();
    // The system keeps the hash object's memory when none is given.
    state->ok = state->algorithm && succeeded(BCryptCreateHash(state->algorithm, &state->hash,
                                                               nullptr, 0, nullptr, 0, 0));
    if (!state->ok)
        state->hash = nullptr;
}

void Sha256::add(const void *data, std::size_t size)
{
    auto *bytes = static_cast<const unsigned char *>(data);
    // The length is a ULONG: larger pieces go in several calls.
    while (state->ok && size > 0) {
        const ULONG piece = static_cast<ULONG>(
            size < std::numeric_limits<ULONG>::max() ? size : std::numeric_limits<ULONG>::max());
        state->ok = succeeded(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), piece, 0));
        bytes += piece;
        size -= piece;
    }
}

std::string Sha256::hexResult()
{
    unsigned char digest[32];
    const bool finished =
        state->ok && succeeded(BCryptFinishHash(state->hash, digest, sizeof(digest), 0));
    state->ok = false;
    if (!finished)
        return std::string();
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += hex[byte >> 4];
        text += hex[byte & 0xf];
    }
    return text;
}

} // namespace platform
