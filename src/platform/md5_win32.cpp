#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>

#include "platform/md5.h"

namespace pellan::platform {

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

std::optional<Md5Digest> Md5(std::span<const std::uint8_t> data) {
    // BCryptHashData takes a 32-bit length; larger inputs go in slices.
    constexpr size_t kSlice = std::numeric_limits<ULONG>::max();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
        return std::nullopt;
    }
    Md5Digest digest{};
    BCRYPT_HASH_HANDLE hash = nullptr;
    // A null object buffer lets CNG allocate the hash state itself (Windows 7 and later).
    bool ok = Succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    for (size_t done = 0; ok && done < data.size();) {
        const size_t slice = std::min(kSlice, data.size() - done);
        // CNG declares the input non-const but does not write it.
        ok = Succeeded(BCryptHashData(hash, const_cast<PUCHAR>(data.data() + done),
                                      static_cast<ULONG>(slice), 0));
        done += slice;
    }
    ok = ok && Succeeded(BCryptFinishHash(hash, digest.data(), digest.size(), 0));
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace pellan::platform
