#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Blowfish as bcrypt needs it: a state that starts as the hexadecimal digits
// of pi's fraction, the expensive key schedule's expansion step, and the
// encryption of one 64-bit block.
class Blowfish
{
public:
    static constexpr size_t saltBytes = 16;

    // The initial state (computed once, at first use).
    Blowfish();

    // Mixes the key, read cyclically, into the subkeys, then re-encrypts the
    // subkeys and boxes with the state so far; each block is first mixed with
    // the salt's next 64 bits when there is a salt (16 bytes, read cyclically).
    void expand(const uint8_t *key, size_t keyLength, const uint8_t *salt);
    void encrypt(uint32_t &left, uint32_t &right) const;

private:
    static constexpr size_t rounds = 16;
    using Subkeys = std::array<uint32_t, rounds + 2>;
    using Boxes = std::array<std::array<uint32_t, 256>, 4>;

    Blowfish(const Subkeys &p, const Boxes &s) : p_(p), s_(s) {}
    [[nodiscard]] uint32_t mix(uint32_t half) const;
    static const Blowfish &initial();

    Subkeys p_{};
    Boxes s_{};
};
