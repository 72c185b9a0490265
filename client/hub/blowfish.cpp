#include "blowfish.h"

#include <vector>

namespace {

// A non-negative fixed-point number: word 0 is the integer part, each further
// word 32 more bits of the fraction. Only what Machin's formula needs.
class Fixed
{
public:
    explicit Fixed(size_t words) : words_(words, 0) {}

    static Fixed reciprocal(size_t words, uint32_t divisor)
    {
        Fixed one(words);
        one.words_[0] = 1;
        one.divide(divisor);
        return one;
    }

    void divide(uint64_t divisor)
    {
        uint64_t remainder = 0;
        for (uint32_t &word : words_) {
            const uint64_t current = (remainder << 32) | word;
            word = uint32_t(current / divisor);
            remainder = current % divisor;
        }
    }

    void multiply(uint32_t factor)
    {
        uint64_t carry = 0;
        for (size_t i = words_.size(); i-- > 0;) {
            const uint64_t current = uint64_t(words_[i]) * factor + carry;
            words_[i] = uint32_t(current);
            carry = current >> 32;
        }
    }

    void add(const Fixed &other, bool subtract)
    {
        int64_t carry = 0;
        for (size_t i = words_.size(); i-- > 0;) {
            const int64_t current = int64_t(words_[i]) + (subtract ? -int64_t(other.words_[i]) : int64_t(other.words_[i])) + carry;
            words_[i] = uint32_t(uint64_t(current));
            carry = current >> 32; // -1, 0 or 1
        }
    }

    [[nodiscard]] bool zero() const
    {
        for (const uint32_t word : words_)
            if (word != 0)
                return false;
        return true;
    }

    [[nodiscard]] uint32_t word(size_t index) const { return words_[index]; }

private:
    std::vector<uint32_t> words_;
};

// arctan(1/m) = 1/m - 1/(3 m^3) + 1/(5 m^5) - ...
Fixed arctanOfReciprocal(size_t words, uint32_t m)
{
    Fixed power = Fixed::reciprocal(words, m);
    Fixed sum = power;
    for (uint32_t k = 1;; ++k) {
        power.divide(uint64_t(m) * m);
        Fixed term = power;
        term.divide(2 * k + 1);
        if (term.zero())
            return sum;
        sum.add(term, k % 2 == 1);
    }
}

// pi = 16 arctan(1/5) - 4 arctan(1/239), to `fractionWords` words and some
// more, so that the truncation of every term stays below the last word kept.
Fixed pi(size_t fractionWords)
{
    const size_t words = 1 + fractionWords + 4;
    Fixed result = arctanOfReciprocal(words, 5);
    result.multiply(4);
    result.add(arctanOfReciprocal(words, 239), true);
    result.multiply(4);
    return result;
}

} // namespace

Blowfish::Blowfish()
    : Blowfish(initial())
{
}

const Blowfish &Blowfish::initial()
{
    // Thread-safe, once: the subkeys and then the boxes take pi's fraction in order.
    static const Blowfish state = [] {
        Blowfish made(Blowfish::Subkeys{}, Blowfish::Boxes{});
        const Fixed digits = pi(made.p_.size() + made.s_.size() * made.s_[0].size());
        size_t next = 1;
        for (uint32_t &word : made.p_)
            word = digits.word(next++);
        for (auto &box : made.s_)
            for (uint32_t &word : box)
                word = digits.word(next++);
        return made;
    }();
    return state;
}

uint32_t Blowfish::mix(uint32_t half) const
{
    return ((s_[0][half >> 24] + s_[1][(half >> 16) & 0xff]) ^ s_[2][(half >> 8) & 0xff]) + s_[3][half & 0xff];
}

void Blowfish::encrypt(uint32_t &left, uint32_t &right) const
{
    uint32_t l = left;
    uint32_t r = right;
    for (size_t i = 0; i < rounds; i += 2) {
        l ^= p_[i];
        r ^= mix(l);
        r ^= p_[i + 1];
        l ^= mix(r);
    }
    left = r ^ p_[rounds + 1];
    right = l ^ p_[rounds];
}

namespace {

// The next 32 bits of a byte string read cyclically, big-endian.
uint32_t nextWord(const uint8_t *bytes, size_t length, size_t &position)
{
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        word = (word << 8) | bytes[position];
        position = (position + 1) % length;
    }
    return word;
}

} // namespace

void Blowfish::expand(const uint8_t *key, size_t keyLength, const uint8_t *salt)
{
    size_t keyPosition = 0;
    for (uint32_t &subkey : p_)
        subkey ^= nextWord(key, keyLength, keyPosition);
    size_t saltPosition = 0;
    uint32_t left = 0;
    uint32_t right = 0;
    const auto fill = [&](uint32_t *words, size_t count) {
        for (size_t i = 0; i < count; i += 2) {
            if (salt) {
                left ^= nextWord(salt, saltBytes, saltPosition);
                right ^= nextWord(salt, saltBytes, saltPosition);
            }
            encrypt(left, right);
            words[i] = left;
            words[i + 1] = right;
        }
    };
    fill(p_.data(), p_.size());
    for (auto &box : s_)
        fill(box.data(), box.size());
}
