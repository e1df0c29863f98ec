// Letters from the system's random source, for session IDs and password salts: a session ID
// that can be guessed is a logged-on session for whoever guesses it.
#pragma once

#include <openssl/rand.h>

#include <optional>
#include <string>

namespace tavolex::account {

// `count` letters "a" to "z", each equally likely. Nothing when the random source fails: the
// caller then makes no session or salt rather than a predictable one.
inline std::optional<std::string> RandomLowerLetters(size_t count)
{
    // 234 is the largest multiple of 26 within a byte: bytes from it up are drawn again, so
    // no letter comes up more often than another.
    constexpr unsigned kAccepted = 26 * 9;
    std::string letters;
    letters.reserve(count);
    unsigned char bytes[64];
    while (letters.size() < count) {
        if (RAND_bytes(bytes, sizeof bytes) != 1)
            return std::nullopt;
        for (unsigned char byte : bytes) {
            if (byte < kAccepted && letters.size() < count)
                letters += static_cast<char>('a' + byte % 26);
        }
    }
    return letters;
}

} // namespace tavolex::account
