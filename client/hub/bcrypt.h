#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Password hashes in bcrypt's form, "$2b$10$" + 22 characters of salt + 31 of
// digest, as htpasswd -B, libxcrypt and the BSDs write them. $2a$, $2b$ and
// $2y$ are read alike: the password and its closing NUL, cut to 72 bytes,
// are the key. (OpenBSD's old $2a$ wrapped passwords of 255 bytes and more,
// and libxcrypt's $2a$ flips a bit for some passwords with bytes over 127;
// neither quirk is copied.) Only costs 10 to 14 are taken: below is too
// cheap to guess against, above makes every check take seconds.
class Bcrypt
{
public:
    static constexpr int minimumCost = 10;
    static constexpr int maximumCost = 14;
    static constexpr size_t saltBytes = 16;
    static constexpr size_t longestPassword = 72; // bytes; the rest is not read

    using Salt = std::array<uint8_t, saltBytes>;

    // What is wrong with a stored hash, or nothing.
    [[nodiscard]] static std::string problem(std::string_view hash);
    // The cost of a good hash, 0 for a bad one.
    [[nodiscard]] static int cost(std::string_view hash);
    // Whether the password gives the hash; false for a bad hash. Takes as long
    // for a wrong password as for the right one.
    [[nodiscard]] static bool verify(std::string_view password, std::string_view hash);
    // The $2b$ hash of the password with this salt; empty for a cost outside the range.
    [[nodiscard]] static std::string hash(std::string_view password, int cost, const Salt &salt);
    // The hash with a salt from OpenSSL's random generator; empty if it has none.
    [[nodiscard]] static std::string hashWithNewSalt(std::string_view password, int cost = minimumCost);

private:
    static constexpr size_t digestBytes = 23;
    using Digest = std::array<uint8_t, digestBytes>;

    struct Parts
    {
        int cost = 0;
        Salt salt{};
        Digest digest{};
    };

    [[nodiscard]] static std::string parse(std::string_view hash, Parts *parts);
    [[nodiscard]] static Digest digest(std::string_view password, int cost, const Salt &salt);
};
