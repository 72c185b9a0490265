#pragma once

// Splits the byte stream a Telvane server sends into replies
// "v2sd::" + hash + "::" + label + "::" + value + "::" + unit + ";".
//
// The protocol has no escaping: labels and units may hold "::" and ";".
// What keeps it readable:
//  - a reply starts with "v2sd::", 40 hexadecimal characters and "::", so the
//    next such header ends the reply before it;
//  - the value is a plain decimal number (or "nan", "inf", "-inf") between
//    two "::", never holding a colon; of the possible splits we take the rightmost one whose value is a
//    number, because units are short (at most 15 characters) while labels are
//    long and free ("Core::1" must stay one label);
//  - the last reply of a burst cannot be told complete until the next header
//    comes or the stream goes quiet, since its unit may hold ";".
// Left ambiguous: a label that itself holds "v2sd::" + 40 hex + "::", or a
// unit that holds "::" + number + "::".

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

struct ParsedReply
{
    bool ok = false;
    QString hash;      // empty when not even the header was readable
    QString label;
    QString valueText; // as sent
    double value = 0.0;
    QString unit;
    QString problem;   // why the reply was skipped, when !ok
};
Q_DECLARE_TYPEINFO(ParsedReply, Q_MOVABLE_TYPE);

// One whole reply, from its "v2sd::" up to (not including) the next header.
[[nodiscard]] ParsedReply parseReply(const QByteArray &reply);

// Position of the first reply header at or after `from`, or -1.
[[nodiscard]] int findReplyHeader(const QByteArray &bytes, int from = 0);

// Whether `text` is a number as QString::number writes it: decimal, or
// "nan", "inf", "-inf" for values that are not finite.
[[nodiscard]] bool parseReplyValue(const QByteArray &text, double *value);

class ReplyStream
{
public:
    // A reply can hold at most a 255-character label and a 15-character unit
    // (up to twice their size in UTF-8); anything far beyond is garbage.
    static constexpr int maximumReplyBytes = 16 * 1024;
    struct TextMemory;

    ReplyStream();
    ~ReplyStream();
    ReplyStream(const ReplyStream &) = delete;
    ReplyStream &operator=(const ReplyStream &) = delete;

    // For a watching client: the same texts of a reading, answer after
    // answer, are handed out again instead of being made anew.
    void rememberTexts(bool remember);

    // Adds received bytes; returns the replies (and problems) that are
    // certainly complete: those followed by the next reply's header.
    [[nodiscard]] QVector<ParsedReply> feed(const QByteArray &bytes);
    // The stream went quiet for a moment: takes the held-back last reply if it
    // is a whole, valid reply; a half reply stays, its rest may still come.
    [[nodiscard]] QVector<ParsedReply> takeQuietTail();
    // The stream ended or stayed quiet long: whatever is held back is final.
    [[nodiscard]] QVector<ParsedReply> finish();
    [[nodiscard]] int pendingBytes() const { return buffer_.size(); }
    // Whether what is held back is the start of a reply whose rest has not come.
    [[nodiscard]] bool holdsCutReply() const;
    void clear() { buffer_.clear(); }

private:
    QByteArray buffer_;
    std::unique_ptr<TextMemory> memory_;
};
