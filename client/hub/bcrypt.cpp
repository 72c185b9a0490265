#include "bcrypt.h"

#include "blowfish.h"

#include <openssl/rand.h>

#include <algorithm>
#include <vector>

namespace {

constexpr char alphabet[] = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t saltCharacters = 22;
constexpr size_t digestCharacters = 31;
constexpr std::string_view prefixes[] = {"$2a$", "$2b$", "$2y$"};
// "$2b$" "10" "$" salt digest
constexpr size_t hashLength = 4 + 2 + 1 + saltCharacters + digestCharacters;

// bcrypt's base64: its own alphabet, no padding, the bits of each byte in order.
std::string encode(const uint8_t *bytes, size_t count)
{
    std::string text;
    uint32_t bits = 0;
    int held = 0;
    for (size_t i = 0; i < count; ++i) {
        bits = (bits << 8) | bytes[i];
        held += 8;
        while (held >= 6) {
            held -= 6;
            text += alphabet[(bits >> held) & 63];
        }
    }
    if (held > 0)
        text += alphabet[(bits << (6 - held)) & 63];
    return text;
}

// The bytes of `count` that the text holds; false at a character outside the alphabet.
bool decode(std::string_view text, uint8_t *bytes, size_t count)
{
    uint32_t bits = 0;
    int held = 0;
    size_t written = 0;
    for (const char c : text) {
        const char *found = c ? std::char_traits<char>::find(alphabet, 64, c) : nullptr;
        if (!found)
            return false;
        bits = (bits << 6) | uint32_t(found - alphabet);
        held += 6;
        if (held >= 8 && written < count) {
            held -= 8;
            bytes[written++] = uint8_t(bits >> held);
        }
    }
    return written == count;
}

} // namespace

std::string Bcrypt::parse(std::string_view hash, Parts *parts)
{
    bool known = false;
    for (const std::string_view prefix : prefixes)
        known = known || hash.substr(0, prefix.size()) == prefix;
    if (!known || hash.size() != hashLength || hash[6] != '$')
        return "not a bcrypt hash: it starts with $2a$, $2b$ or $2y$ and is 60 characters long, such as "
               "htpasswd -nBC 10 or telvane-hub --hash-password make";
    if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9')
        return "not a bcrypt hash: its cost is not two digits";
    parts->cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (parts->cost < minimumCost || parts->cost > maximumCost)
        return "bcrypt cost " + std::to_string(parts->cost) + " is not taken: use " +
               std::to_string(minimumCost) + " to " + std::to_string(maximumCost);
    if (!decode(hash.substr(7, saltCharacters), parts->salt.data(), saltBytes) ||
        !decode(hash.substr(7 + saltCharacters), parts->digest.data(), digestBytes))
        return "not a bcrypt hash: its salt and digest hold characters other than ./A-Za-z0-9";
    return {};
}

std::string Bcrypt::problem(std::string_view hash)
{
    Parts parts;
    return parse(hash, &parts);
}

int Bcrypt::cost(std::string_view hash)
{
    Parts parts;
    return parse(hash, &parts).empty() ? parts.cost : 0;
}

Bcrypt::Digest Bcrypt::digest(std::string_view password, int cost, const Salt &salt)
{
    // The key: the password and its NUL, at most 72 bytes of them.
    std::vector<uint8_t> key(password.begin(), password.begin() + std::min(password.size(), longestPassword));
    if (key.size() < longestPassword)
        key.push_back(0);
    Blowfish state;
    state.expand(key.data(), key.size(), salt.data());
    for (uint64_t round = 0, rounds = uint64_t(1) << cost; round < rounds; ++round) {
        state.expand(key.data(), key.size(), nullptr);
        state.expand(salt.data(), salt.size(), nullptr);
    }
    static constexpr char magic[] = "OrpheanBeholderScryDoubt";
    std::array<uint32_t, 6> block{};
    for (size_t i = 0; i < 24; ++i)
        block[i / 4] = (block[i / 4] << 8) | uint8_t(magic[i]);
    for (int time = 0; time < 64; ++time)
        for (size_t i = 0; i < block.size(); i += 2)
            state.encrypt(block[i], block[i + 1]);
    Digest made{};
    for (size_t i = 0; i < digestBytes; ++i)
        made[i] = uint8_t(block[i / 4] >> (24 - 8 * (i % 4)));
    return made;
}

bool Bcrypt::verify(std::string_view password, std::string_view hash)
{
    Parts parts;
    if (!parse(hash, &parts).empty())
        return false;
    const Digest made = digest(password, parts.cost, parts.salt);
    // Every byte compared, whatever the first difference.
    uint8_t difference = 0;
    for (size_t i = 0; i < digestBytes; ++i)
        difference |= made[i] ^ parts.digest[i];
    return difference == 0;
}

std::string Bcrypt::hash(std::string_view password, int cost, const Salt &salt)
{
    if (cost < minimumCost || cost > maximumCost)
        return {};
    const Digest made = digest(password, cost, salt);
    return "$2b$" + std::string(1, char('0' + cost / 10)) + char('0' + cost % 10) + '$' +
           encode(salt.data(), salt.size()) + encode(made.data(), made.size());
}

std::string Bcrypt::hashWithNewSalt(std::string_view password, int cost)
{
    Salt salt{};
    if (RAND_bytes(salt.data(), int(salt.size())) != 1)
        return {};
    return hash(password, cost, salt);
}
