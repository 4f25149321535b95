#include "filter.h"

#include <re2/re2.h>
#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <limits>
#include <vector>

#include "mask_syntax.h"

namespace alg {

namespace {

constexpr char kActionSuffix[] = " %d - %s";
constexpr char kCutSuffix[] = ":%d.%d";
constexpr char kReplaceSuffix[] = ":%d.%d (%d)";
constexpr char kBadAccessMaskSuffix[] = " (access rule %d): %s";
constexpr char kBadSectionMaskSuffix[] = " (%s %d.%d): %s";
// A mask quoted in a warning is cut to this many bytes, so that one line stays readable.
constexpr std::size_t kMaxQuotedMask = 200;

const char* OrEmpty(const char* text) {
    return text ? text : "";
}

// The whole of `text` (NUL bytes included) read as UTF-8.
QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

// Length of the well-formed UTF-8 sequence at `p` (before `end`), 0 when it is malformed:
// overlong forms, surrogates and code points above U+10FFFF are malformed, as for Qt.
std::size_t SequenceLength(const unsigned char* p, const unsigned char* end) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) < n || p[1] < lo || p[1] > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return n;
}

bool IsWellFormedUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const std::size_t n = SequenceLength(p, end);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

// `text` as the masks read it (see TextFilter): well-formed text without a leading byte
// order mark as it is, anything else re-encoded into `storage` the way Qt decodes it.
std::string_view AsMatched(const std::string& text, std::string& storage) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") != 0 && IsWellFormedUtf8(text)) return text;
    const QByteArray utf8 = FromUtf8(text).toUtf8();
    storage.assign(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    return storage;
}

// Bytes of the character at `pos` of well-formed `text`.
std::size_t CharLength(std::string_view text, std::size_t pos) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
    const std::size_t n = SequenceLength(p, p + (text.size() - pos));
    return n ? n : 1;
}

// The replacement loop shared by both engines, over positions of `in` (bytes or UTF-16
// units). `find(from, pos, len)` finds the next match at or after `from`; `charAt(pos)` is the
// length of the character at `pos`. The result is assembled piece by piece rather than edited
// in place, which would move the rest of the text once per match.
template <typename In, typename Out, typename Find, typename CharAt>
int ReplaceMatches(const In& in, const In& to, Out& out, Find&& find, CharAt&& charAt) {
    long long pos = 0, len = 0;
    if (!find(0, pos, len)) return 0;
    const auto size = static_cast<long long>(in.size());
    out.reserve(in.size());
    long long copied = 0;
    int count = 0;
    for (;;) {
        out.append(in.data() + copied, pos - copied);
        out.append(to);
        ++count;
        long long next = pos + len;
        copied = next;
        if (len == 0) {
            // An empty match would be found again at the same place: step over one character.
            if (next >= size) break;
            const long long step = charAt(next);
            out.append(in.data() + next, step);
            copied = next += step;
        }
        if (next >= size || !find(next, pos, len)) break;
    }
    out.append(in.data() + copied, size - copied);
    return count;
}

// printf-style formatting into a string of whatever length the result needs.
__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char small[128];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, n);
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(out.data(), out.size(), format, args);
    va_end(args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string QuotedMask(const TextFilter& f) {
    std::string mask = f.Mask().toStdString();
    if (mask.size() > kMaxQuotedMask) mask.resize(kMaxQuotedMask);
    return mask;
}

// `suffix()` gives the text after the message; a rule whose level is none is never written, so
// its text is not built.
template <class Suffix>
void LogHit(I_ToLogSystem& log, const locMSG& msg, LogLevel level, Suffix&& suffix) {
    if (level == none) return;
    LoggedMessage m(msg, level, info);
    m.AddSuffix(suffix());
    log.Log(m);
}

// Warns about a mask that never matches or that runs on the backtracking engine.
void CheckMask(I_ToLogSystem& log, const TextFilter& mask,
               const std::function<std::string()>& suffix) {
    if (mask.IsLinear()) return;
    LoggedMessage m(mask.IsValid() ? BacktrackingMask : InvalidMask, detail, warning);
    m.AddSuffix(suffix());
    log.Log(m);
}

// Visits the non-null items of a policy list in document order.
template <typename T, typename F>
void ForEachRecord(const ObjectVector<T>& records, F&& visit) {
    for (const T* item : records)
        if (item) visit(*item);
}

// Converts `text` from `from` into `to`; unchanged when the converter reports a size of 0.
// A conversion that fails half-way leaves the text as it was, too.
void Convert(std::string& text, codepage_t from, codepage_t to) {
    if (text.size() > std::numeric_limits<unsigned>::max()) return;
    textcode converter(from, to);
    const auto inSize = static_cast<unsigned>(text.size());
    const unsigned outSize = converter.get_outsize(text.data(), inSize);
    if (outSize == 0) return;
    std::vector<char> out(outSize);
    const unsigned written = converter.convert_safe(text.data(), inSize, out.data(), outSize);
    if (written == 0 || written > outSize) return;
    text.assign(out.data(), written);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Names and masks
// ---------------------------------------------------------------------------------------------

const char* ActionName(ActionType action) {
    switch (action) {
        case atAllow:
            return "allow";
        case atDrop:
            return "drop";
        case atReject:
            return "reject";
        default:
            return "Unknown";
    }
}

ActionType ParseActionType(const char* text) {
    if (text) {
        if (strcasecmp(text, "allow") == 0) return atAllow;
        if (strcasecmp(text, "drop") == 0) return atDrop;
        if (strcasecmp(text, "reject") == 0) return atReject;
    }
    throw InitializerError(InvalidActionType, OrEmpty(text));
}

MaskType ParseMaskType(const char* maskType) {
    if (maskType) {
        if (strcasecmp(maskType, "wild") == 0) return {QRegExp::Wildcard, Qt::CaseInsensitive};
        if (strcasecmp(maskType, "regexp") == 0) return {QRegExp::RegExp, Qt::CaseInsensitive};
        if (strcasecmp(maskType, "wildC") == 0) return {QRegExp::Wildcard, Qt::CaseSensitive};
        if (strcasecmp(maskType, "regexpC") == 0) return {QRegExp::RegExp, Qt::CaseSensitive};
    }
    throw InitializerError(InvalidMaskType, OrEmpty(maskType));
}

bool MaskCompiles(const char* maskType, const char* mask) {
    return TextFilter(maskType, mask).IsValid();
}

TextFilter::TextFilter(const char* maskType, const char* mask)
    : mask_(QString::fromUtf8(OrEmpty(mask))) {
    const MaskType type = ParseMaskType(maskType);
    rx_ = QRegExp(mask_, type.cs, type.syntax);
    valid_ = rx_.isValid();
    if (!valid_) return;
    if (const auto pattern = MaskToLinearPattern(mask_, type.syntax)) {
        RE2::Options options;
        options.set_longest_match(true);  // QRegExp finds the leftmost longest match
        options.set_dot_nl(true);
        options.set_never_capture(true);
        options.set_case_sensitive(type.cs == Qt::CaseSensitive);
        options.set_log_errors(false);
        auto re = std::make_shared<const RE2>(*pattern, options);
        if (re->ok()) {
            linear_ = std::move(re);
            return;
        }
    }
    // Builds the matching engine now: copying an expression whose engine is not yet built
    // would build it inside the shared original, which concurrent copies must not do.
    rx_.exactMatch(QString());
}

bool TextFilter::ExactMatch(const std::string& text) const {
    if (!valid_) return false;
    if (linear_) {
        std::string storage;
        const std::string_view in = AsMatched(text, storage);
        return RE2::FullMatch(re2::StringPiece(in.data(), in.size()), *linear_);
    }
    const QString in = FromUtf8(text);
    return in.size() <= kBacktrackLimit && QRegExp(rx_).exactMatch(in);
}

bool TextFilter::Contains(const std::string& text) const {
    if (!valid_) return false;
    if (linear_) {
        std::string storage;
        const std::string_view in = AsMatched(text, storage);
        return RE2::PartialMatch(re2::StringPiece(in.data(), in.size()), *linear_);
    }
    const QString in = FromUtf8(text);
    return in.size() > kBacktrackLimit || QRegExp(rx_).indexIn(in) >= 0;
}

int TextFilter::Replace(std::string& text, const std::string& to) const {
    if (!valid_) return 0;
    if (linear_) {
        std::string storage;
        const std::string_view in = AsMatched(text, storage);
        const re2::StringPiece subject(in.data(), in.size());
        re2::StringPiece match;
        auto find = [&](long long from, long long& pos, long long& len) {
            if (!linear_->Match(subject, static_cast<std::size_t>(from), in.size(), RE2::UNANCHORED,
                                &match, 1))
                return false;
            pos = match.data() - in.data();
            len = static_cast<long long>(match.size());
            return true;
        };
        auto charAt = [&](long long pos) {
            return static_cast<long long>(CharLength(in, static_cast<std::size_t>(pos)));
        };
        std::string out;
        const std::string_view toView(to);
        const int count = ReplaceMatches(in, toView, out, find, charAt);
        if (count > 0) text = std::move(out);
        return count;
    }
    const QString in = FromUtf8(text);
    if (in.size() > kBacktrackLimit) return 0;
    QRegExp rx(rx_);
    auto find = [&](long long from, long long& pos, long long& len) {
        pos = rx.indexIn(in, static_cast<int>(from));
        len = rx.matchedLength();
        return pos >= 0;
    };
    QString out;
    const int count = ReplaceMatches(in, QString::fromUtf8(to.data(), static_cast<int>(to.size())),
                                     out, find, [](long long) { return 1LL; });
    if (count > 0) {
        const QByteArray utf8 = out.toUtf8();
        text.assign(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Access lists
// ---------------------------------------------------------------------------------------------

bool AccFilter::FilterMatch(const ObjectWithProperties& record) const {
    std::string value;
    if (!record.GetProperty(name.c_str(), value)) return false;
    return filter.ExactMatch(value);
}

ActionType AccessList::GetAction(const char* requestUser, const ObjectWithProperties& record,
                                 I_ToLogSystem& log) const {
    if (!user.empty() && user != OrEmpty(requestUser)) return atNone;
    for (const AccFilter& f : filters)
        if (!f.FilterMatch(record)) return atNone;
    LogHit(log, ActionOfFilter, logLevel,
           [&] { return Format(kActionSuffix, number, ActionName(action)); });
    return action;
}

AccessList AccessList::FromPolicy(const ALGaccessType& rule, unsigned short number,
                                  I_ToLogSystem& log) {
    AccessList list;
    list.user = rule.userid.c_str();
    list.logLevel = ParseLogLevel(rule.loglevel.c_str());
    list.action = ParseActionType(rule.action.c_str());
    list.number = number;
    ForEachRecord(rule.filterby, [&](const ALGfilterbyType& f) {
        TextFilter mask(f.masktype, f.mask);
        CheckMask(log, mask,
                  [&] { return Format(kBadAccessMaskSuffix, number, QuotedMask(mask).c_str()); });
        list.filters.emplace_back(std::move(mask), f.name.c_str());
    });
    return list;
}

ActionType HandshakeFilter::GetAction(const char* user, const ObjectWithProperties& record,
                                      I_ToLogSystem& log) const {
    for (const AccessList& rule : rules_) {
        const ActionType action = rule.GetAction(user, record, log);
        if (action != atNone) return action;
    }
    LoggedMessage m(DefaultFilterAction, verbose, info);
    log.Log(m);
    return atReject;
}

void HandshakeFilter::Load(const ALGhandshakeType& handshake, I_ToLogSystem& log) {
    unsigned short number = 0;
    ForEachRecord(handshake.access, [&](const ALGaccessType& rule) {
        rules_.push_back(AccessList::FromPolicy(rule, ++number, log));
    });
}

// ---------------------------------------------------------------------------------------------
// Rules
// ---------------------------------------------------------------------------------------------

ProcOption::ProcOption(const char* maskType, const char* from, const char* itemName,
                       const char* toText)
    : pattern(maskType, from),
      name(OrEmpty(itemName)),
      to(QString::fromUtf8(OrEmpty(toText)).toUtf8().toStdString()) {}

bool ProcOption::Cut(const char* itemName, const std::string& text) const {
    if (strcasecmp(name.c_str(), OrEmpty(itemName)) != 0) return false;
    return pattern.Contains(text);
}

int ProcOption::Replace(const char* itemName, std::string& text) const {
    if (strcasecmp(name.c_str(), OrEmpty(itemName)) != 0) return 0;
    return pattern.Replace(text, to);
}

// ---------------------------------------------------------------------------------------------
// Sections
// ---------------------------------------------------------------------------------------------

bool SectionBase::AppliesTo(const char* user) const {
    return userid.empty() || userid == OrEmpty(user);
}

void SectionBase::Build(const ALGreplaceType& rec, unsigned short sectionIndex, BodyRules bodyRules,
                        bool withTo, const char* kind, I_ToLogSystem& log) {
    userid = rec.userid.c_str();
    logLevel = rec.loglevel.empty() ? verbose : ParseLogLevel(rec.loglevel.c_str());
    index = sectionIndex;

    auto checkMask = [&](const ProcOption& rule, std::size_t ruleNumber) {
        CheckMask(log, rule.pattern, [&] {
            return Format(kBadSectionMaskSuffix, kind, index, static_cast<int>(ruleNumber),
                          QuotedMask(rule.pattern).c_str());
        });
    };

    ForEachRecord(rec.option, [&](const ALGoptionType& o) {
        options.emplace_back(o.masktype, o.from, o.name, withTo ? o.to.c_str() : nullptr);
        checkMask(options.back(), options.size());
    });
    if (bodyRules == BodyRules::skip) return;
    ForEachRecord(rec.body, [&](const ALGbodyType& b) {
        if (b.from.empty()) {
            LoggedMessage m(EmptyFromExpression, detail, warning);
            log.Log(m);
            return;
        }
        bodies.emplace_back(b.masktype, b.from, kBodyRuleName, withTo ? b.to.c_str() : nullptr);
        checkMask(bodies.back(), bodies.size());
    });
}

namespace {

// The first rule of `rules` that cuts `text`, logged; false when none does.
bool CutByRules(const std::list<ProcOption>& rules, const char* itemName, const std::string& text,
                const locMSG& msg, const SectionBase& section, I_ToLogSystem& log) {
    int number = 0;
    for (const ProcOption& rule : rules) {
        ++number;
        if (!rule.Cut(itemName, text)) continue;
        LogHit(log, msg, section.logLevel,
               [&] { return Format(kCutSuffix, section.index, number); });
        return true;
    }
    return false;
}

void ReplaceByRules(const std::list<ProcOption>& rules, const char* itemName, std::string& text,
                    const locMSG& msg, const SectionBase& section, I_ToLogSystem& log) {
    int number = 0;
    for (const ProcOption& rule : rules) {
        ++number;
        const int count = rule.Replace(itemName, text);
        if (count <= 0) continue;
        LogHit(log, msg, section.logLevel,
               [&] { return Format(kReplaceSuffix, section.index, number, count); });
    }
}

}  // namespace

bool CutSection::ProcessOption(const char* user, const char* itemName, const std::string& value,
                               I_ToLogSystem& log) const {
    return AppliesTo(user) && CutByRules(options, itemName, value, CutOption, *this, log);
}

bool CutSection::ProcessBody(const char* user, const std::string& body, I_ToLogSystem& log) const {
    return AppliesTo(user) && CutByRules(bodies, kBodyRuleName, body, CutBody, *this, log);
}

CutSection CutSection::FromPolicy(const ALGreplaceType& rec, unsigned short index,
                                  BodyRules bodyRules, I_ToLogSystem& log) {
    CutSection section;
    section.Build(rec, index, bodyRules, false, "cut", log);
    return section;
}

void ReplaceSection::ProcessOption(const char* user, const char* itemName, std::string& value,
                                   I_ToLogSystem& log) const {
    if (AppliesTo(user)) ReplaceByRules(options, itemName, value, ReplaceOption, *this, log);
}

void ReplaceSection::ProcessBody(const char* user, std::string& body, I_ToLogSystem& log) const {
    if (AppliesTo(user)) ReplaceByRules(bodies, kBodyRuleName, body, ReplaceBody, *this, log);
}

ReplaceSection ReplaceSection::FromPolicy(const ALGreplaceType& rec, unsigned short index,
                                          BodyRules bodyRules, I_ToLogSystem& log) {
    ReplaceSection section;
    section.Build(rec, index, bodyRules, true, "replace", log);
    return section;
}

bool ProcessSection::ProcessOption(const char* user, const char* itemName, std::string& value,
                                   I_ToLogSystem& log) const {
    for (const CutSection& cut : cuts)
        if (cut.ProcessOption(user, itemName, value, log)) return true;
    for (const ReplaceSection& replace : replaces)
        replace.ProcessOption(user, itemName, value, log);
    return false;
}

bool ProcessSection::ProcessBody(const char* user, std::string& body, I_ToLogSystem& log,
                                 codepage_t codepage) const {
    PrepareToFilter(body, codepage);
    for (const CutSection& cut : cuts)
        if (cut.ProcessBody(user, body, log)) return true;
    for (const ReplaceSection& replace : replaces) replace.ProcessBody(user, body, log);
    PrepareToShow(body, codepage);
    return false;
}

bool ProcessSection::HasBodyRules(const char* user) const {
    auto applies = [user](const SectionBase& s) { return !s.bodies.empty() && s.AppliesTo(user); };
    return std::any_of(cuts.begin(), cuts.end(), applies) ||
           std::any_of(replaces.begin(), replaces.end(), applies);
}

bool ProcessSection::MayReplace(const char* user, const char* itemName) const {
    for (const ReplaceSection& replace : replaces) {
        if (!replace.AppliesTo(user)) continue;
        for (const ProcOption& rule : replace.options)
            if (strcasecmp(rule.name.c_str(), itemName) == 0) return true;
    }
    return false;
}

void ProcessSection::PrepareToFilter(std::string& text, codepage_t from) {
    if (from != kFilterCodepage) Convert(text, from, kFilterCodepage);
}

void ProcessSection::PrepareToShow(std::string& text, codepage_t to) {
    if (to != kFilterCodepage) Convert(text, kFilterCodepage, to);
}

void ProcessSection::AddReplaceSections(const ObjectVector<ALGreplaceType>& records,
                                        BodyRules bodyRules, I_ToLogSystem& log) {
    ForEachRecord(records, [&](const ALGreplaceType& rec) {
        const auto index = static_cast<unsigned short>(replaces.size() + 1);
        replaces.push_back(ReplaceSection::FromPolicy(rec, index, bodyRules, log));
    });
}

void ProcessSection::AddCutSections(const ObjectVector<ALGreplaceType>& records,
                                    BodyRules bodyRules, I_ToLogSystem& log) {
    ForEachRecord(records, [&](const ALGreplaceType& rec) {
        const auto index = static_cast<unsigned short>(cuts.size() + 1);
        cuts.push_back(CutSection::FromPolicy(rec, index, bodyRules, log));
    });
}

}  // namespace alg
