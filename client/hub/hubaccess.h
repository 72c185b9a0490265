#pragma once

#include <QByteArray>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// Who may see the hub: HTTP basic authentication against users with bcrypt
// hashes. A bcrypt check costs tens of milliseconds on purpose, so a header
// that passed is remembered (by its SHA-256, never a failure) and a page
// polling every second costs one check, not one a second. Safe from any thread;
// the users can be replaced while requests are checked.
class HubAccess
{
public:
    using Users = std::map<std::string, std::string>; // name -> bcrypt hash
    enum class Verdict { Allowed, Refused, Unsure };

    static constexpr size_t longestHeader = 1024; // an Authorization value longer is refused unread
    static constexpr size_t remembered = 256; // headers that passed, kept at most

    // Replaces the users (none: everyone is let in) and forgets every header
    // that passed. With a bad hash nothing changes: what is wrong, naming the user.
    [[nodiscard]] std::string setUsers(const Users &users);
    [[nodiscard]] bool open() const;

    // Cheap, for the network thread: Allowed when open or the header passed
    // before, Refused when it is malformed, else Unsure: check() it.
    [[nodiscard]] Verdict quick(std::string_view authorization) const;
    // Runs bcrypt, also for an unknown user (against a stand-in hash of the
    // users' highest cost), so that a wrong name takes no less time than a
    // wrong password.
    [[nodiscard]] bool check(std::string_view authorization);

private:
    struct Credentials
    {
        std::string user;
        std::string password;
    };
    struct State
    {
        Users users;
        std::string standIn; // a valid hash no password gives (for all purposes)
        uint64_t generation = 0;
    };

    [[nodiscard]] static std::optional<Credentials> credentials(std::string_view authorization);
    [[nodiscard]] static QByteArray key(std::string_view authorization);
    [[nodiscard]] std::shared_ptr<const State> state() const;

    mutable std::mutex mutex_;
    std::shared_ptr<const State> state_ = std::make_shared<const State>();
    std::set<QByteArray> passed_; // SHA-256 of headers that passed, for state_ only
};
