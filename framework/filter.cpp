#include "filter.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <vector>

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

// Collects UTF-16 text and appends it to a byte string as UTF-8, a bounded piece at a time and
// never between the two halves of a surrogate pair, so that the result is that of converting
// the whole text at once.
class Utf8Sink {
  public:
    explicit Utf8Sink(std::string& out) : out_(out) {}

    void Append(const QChar* data, int size) {
        while (size > 0) {
            const int n = std::min(size, kPiece);
            buffer_.append(data, n);
            data += n;
            size -= n;
            if (buffer_.size() >= kPiece) Flush(false);
        }
    }
    void Finish() { Flush(true); }

  private:
    static constexpr int kPiece = 64 * 1024;

    void Flush(bool last) {
        int n = buffer_.size();
        if (!last && n > 0 && buffer_.at(n - 1).isHighSurrogate()) --n;
        const QByteArray utf8 = QStringRef(&buffer_, 0, n).toUtf8();
        out_.append(utf8.constData(), static_cast<std::size_t>(utf8.size()));
        buffer_.remove(0, n);
    }

    std::string& out_;
    QString buffer_;
};

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

void LogHit(I_ToLogSystem& log, const locMSG& msg, LogLevel level, const std::string& suffix) {
    LoggedMessage m(msg, level, info);
    m.AddSuffix(suffix);
    log.Log(m);
}

void WarnBadMask(I_ToLogSystem& log, const std::string& suffix) {
    LoggedMessage m(InvalidMask, detail, warning);
    m.AddSuffix(suffix);
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
    // Builds the matching engine now: copying an expression whose engine is not yet built
    // would build it inside the shared original, which concurrent copies must not do.
    rx_.exactMatch(QString());
}

bool TextFilter::ExactMatch(const QString& text) const {
    return valid_ && Matcher().exactMatch(text);
}

bool TextFilter::Contains(const QString& text) const {
    return valid_ && Matcher().indexIn(text) >= 0;
}

// ---------------------------------------------------------------------------------------------
// Access lists
// ---------------------------------------------------------------------------------------------

bool AccFilter::FilterMatch(const ObjectWithProperties& record) const {
    std::string value;
    if (!record.GetProperty(name.c_str(), value)) return false;
    return filter.ExactMatch(FromUtf8(value));
}

ActionType AccessList::GetAction(const char* requestUser, const ObjectWithProperties& record,
                                 I_ToLogSystem& log) const {
    if (!user.empty() && user != OrEmpty(requestUser)) return atNone;
    for (const AccFilter& f : filters)
        if (!f.FilterMatch(record)) return atNone;
    LogHit(log, ActionOfFilter, logLevel, Format(kActionSuffix, number, ActionName(action)));
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
        if (!mask.IsValid())
            WarnBadMask(log, Format(kBadAccessMaskSuffix, number, QuotedMask(mask).c_str()));
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
    : pattern(maskType, from), name(OrEmpty(itemName)), to(QString::fromUtf8(OrEmpty(toText))) {}

bool ProcOption::Cut(const char* itemName, const std::string& text) const {
    if (strcasecmp(name.c_str(), OrEmpty(itemName)) != 0) return false;
    return pattern.Contains(FromUtf8(text));
}

int ProcOption::Replace(const char* itemName, std::string& text) const {
    if (!pattern.IsValid() || strcasecmp(name.c_str(), OrEmpty(itemName)) != 0) return 0;
    const QString in = FromUtf8(text);
    QRegExp rx = pattern.Matcher();
    int pos = rx.indexIn(in, 0);
    if (pos < 0) return 0;

    // The result is assembled piece by piece rather than edited in place, which would move
    // the rest of the text once per match. Searching resumes in the input right after each
    // match, so inserted text is never searched again. The input bytes are let go once their
    // UTF-16 form exists and the result is written as UTF-8 in pieces, so that a long body is
    // held about three times over (UTF-16 input, UTF-8 result) rather than six.
    const std::size_t estimate = text.size();
    std::string().swap(text);
    text.reserve(estimate);
    Utf8Sink out(text);
    int copied = 0;
    int count = 0;
    while (pos >= 0) {
        const int len = rx.matchedLength();
        out.Append(in.constData() + copied, pos - copied);
        out.Append(to.constData(), to.size());
        ++count;
        int next = pos + len;
        copied = next;
        if (len == 0) {
            // An empty match would be found again at the same place: step over one character.
            if (next >= in.size()) break;
            out.Append(in.constData() + next, 1);
            copied = ++next;
        }
        if (next >= in.size()) break;
        pos = rx.indexIn(in, next);
    }
    out.Append(in.constData() + copied, in.size() - copied);
    out.Finish();
    return count;
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
        if (rule.pattern.IsValid()) return;
        WarnBadMask(log, Format(kBadSectionMaskSuffix, kind, index, static_cast<int>(ruleNumber),
                                QuotedMask(rule.pattern).c_str()));
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
        LogHit(log, msg, section.logLevel, Format(kCutSuffix, section.index, number));
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
        LogHit(log, msg, section.logLevel, Format(kReplaceSuffix, section.index, number, count));
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
