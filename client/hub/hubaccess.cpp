#include "hubaccess.h"

#include "bcrypt.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cctype>

std::string HubAccess::setUsers(const Users &users)
{
    auto next = std::make_shared<State>();
    int highestCost = Bcrypt::minimumCost;
    for (const auto &[user, hash] : users) {
        const std::string problem = Bcrypt::problem(hash);
        if (!problem.empty())
            return "user " + user + ": " + problem;
        highestCost = std::max(highestCost, Bcrypt::cost(hash));
    }
    next->users = users;
    next->standIn = "$2b$" + std::to_string(highestCost) + '$' + std::string(53, '.');
    const std::lock_guard<std::mutex> lock(mutex_);
    next->generation = state_->generation + 1;
    state_ = std::move(next);
    passed_.clear();
    return {};
}

bool HubAccess::open() const
{
    return state()->users.empty();
}

std::shared_ptr<const HubAccess::State> HubAccess::state() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

HubAccess::Verdict HubAccess::quick(std::string_view authorization) const
{
    if (open())
        return Verdict::Allowed;
    if (!credentials(authorization))
        return Verdict::Refused;
    const QByteArray digest = key(authorization);
    const std::lock_guard<std::mutex> lock(mutex_);
    return passed_.count(digest) ? Verdict::Allowed : Verdict::Unsure;
}

bool HubAccess::check(std::string_view authorization)
{
    const std::shared_ptr<const State> now = state();
    if (now->users.empty())
        return true;
    const std::optional<Credentials> given = credentials(authorization);
    if (!given)
        return false;
    const auto user = now->users.find(given->user);
    const bool known = user != now->users.end();
    const bool good = Bcrypt::verify(given->password, known ? user->second : now->standIn) && known;
    if (!good)
        return false;
    const QByteArray digest = key(authorization);
    const std::lock_guard<std::mutex> lock(mutex_);
    // Users replaced meanwhile: this header passed against the old ones only.
    if (state_->generation != now->generation)
        return good;
    if (passed_.size() >= remembered)
        passed_.clear();
    passed_.insert(digest);
    return good;
}

std::optional<HubAccess::Credentials> HubAccess::credentials(std::string_view authorization)
{
    static constexpr std::string_view scheme = "basic ";
    if (authorization.size() > longestHeader || authorization.size() < scheme.size())
        return std::nullopt;
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i])
            return std::nullopt;
    std::string_view encoded = authorization.substr(scheme.size());
    while (!encoded.empty() && encoded.front() == ' ')
        encoded.remove_prefix(1);
    while (!encoded.empty() && (encoded.back() == ' ' || encoded.back() == '\t'))
        encoded.remove_suffix(1);
    const auto decoded = QByteArray::fromBase64Encoding(QByteArray(encoded.data(), int(encoded.size())),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    const int colon = decoded.decoded.indexOf(':');
    // A NUL would end the password early for C's bcrypt: such a pair is nobody's.
    if (!decoded || encoded.empty() || colon < 0 || decoded.decoded.contains('\0'))
        return std::nullopt;
    return Credentials{decoded.decoded.left(colon).toStdString(), decoded.decoded.mid(colon + 1).toStdString()};
}

QByteArray HubAccess::key(std::string_view authorization)
{
    return QCryptographicHash::hash(QByteArray::fromRawData(authorization.data(), int(authorization.size())),
                                    QCryptographicHash::Sha256);
}
