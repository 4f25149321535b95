// Handshake access lists (first matching rule decides, default reject) and the cut and replace
// sections applied to relayed text.
//
// Everything here is built once, when a listener is constructed, and only read afterwards:
// every const operation may run from any number of session threads at once. Each evaluation
// matches on its own copy of a compiled expression, because a compiled expression keeps the
// state of its last match.
#pragma once

#include <QRegExp>
#include <QString>

#include <list>
#include <memory>
#include <string>

#include "alg_xml.h"
#include "alogger.h"
#include "misc_classes.h"
#include "textcode.h"

namespace re2 {
class RE2;
}

namespace alg {

ALG_MESSAGE(InvalidMaskType, "invalid mask type", "неверный тип маски");
ALG_MESSAGE(InvalidActionType, "invalid action type", "неверное значение атрибута action");
ALG_MESSAGE(ActionOfFilter, "action of filter", "действие фильтра");
ALG_MESSAGE(DefaultFilterAction, "Default Filter action", "Действие фильтра по умолчанию");
ALG_MESSAGE(InvalidMask, "invalid mask, the rule never matches",
            "неверная маска, правило не срабатывает");
ALG_MESSAGE(BacktrackingMask,
            "mask needs backtracking, texts over 4096 characters are not searched",
            "маска требует перебора с возвратом, текст длиннее 4096 символов не проверяется");
ALG_MESSAGE(EmptyFromExpression, "\"from\" expression is empty", "Значение \"from\" не задано");
// Hit messages of the processing sections: both texts are English.
inline constexpr locMSG CutOption{"Cut option", "Cut option"};
inline constexpr locMSG CutBody{"Cut body", "Cut body"};
inline constexpr locMSG ReplaceOption{"Replace option", "Replace option"};
inline constexpr locMSG ReplaceBody{"Replace body", "Replace body"};

// The item name under which body rules are kept.
inline constexpr char kBodyRuleName[] = "Body";
// The code page in which patterns are read and content is matched (UTF-8).
inline constexpr codepage_t kFilterCodepage = 6;

enum ActionType : int { atNone = 0, atAllow = 1, atDrop = 2, atReject = 3 };

// "allow", "drop", "reject" for 1 to 3; "Unknown" for any other value.
const char* ActionName(ActionType action);
// "allow", "drop", "reject" in any letter case give 1, 2, 3; anything else (null and ""
// included) throws InitializerError with InvalidActionType.
ActionType ParseActionType(const char* text);

// Pattern syntax and letter case selected by a mask type name.
struct MaskType {
    QRegExp::PatternSyntax syntax;
    Qt::CaseSensitivity cs;
};
// "wild", "regexp" (letter case ignored) and "wildC", "regexpC" (letter case significant);
// the name itself is compared in any letter case. Anything else (null and "" included) throws
// InitializerError with InvalidMaskType.
MaskType ParseMaskType(const char* maskType);
// Whether `mask` (UTF-8, null read as "") compiles under `maskType`; throws as ParseMaskType.
bool MaskCompiles(const char* maskType, const char* mask);

// The longest text, in characters, that a mask on the backtracking engine is run on.
inline constexpr int kBacktrackLimit = 4096;

// A compiled mask, read as QRegExp reads it (see MaskType). Masks run on a linear-time engine
// (RE2), so a match costs time linear in the text's length; the few that it cannot express
// (back references, lookahead, word boundaries, see mask_syntax.h) run on QRegExp, but never
// on a text longer than kBacktrackLimit characters. A mask that does not compile is kept and
// matches nothing. Texts are UTF-8 and are read as QString::fromUtf8 reads them: malformed
// sequences stand for U+FFFD and a leading byte order mark is dropped.
//
// Every const operation may run on any number of threads at once.
class TextFilter {
  public:
    // Throws InitializerError with InvalidMaskType for an unknown mask type. `mask` is UTF-8;
    // null is read as "".
    TextFilter(const char* maskType, const char* mask);

    bool IsValid() const { return valid_; }
    // Whether the mask runs on the linear-time engine (false for an invalid mask too).
    bool IsLinear() const { return linear_ != nullptr; }
    const QString& Mask() const { return mask_; }
    // Whether the expression covers the whole of `text`; false for a backtracking mask and a
    // text over kBacktrackLimit.
    bool ExactMatch(const std::string& text) const;
    // Whether the expression matches anywhere in `text`; true for a backtracking mask and a
    // text over kBacktrackLimit, so that a cut rule refuses what it could not judge.
    bool Contains(const std::string& text) const;
    // Replaces every match by `to` (UTF-8), left to right, never searching the inserted text
    // again; an empty match moves the search on by one character. Returns the number of
    // replacements and rewrites `text` only when that is non-zero (as UTF-8). A backtracking
    // mask leaves a text over kBacktrackLimit alone.
    int Replace(std::string& text, const std::string& to) const;

  private:
    QString mask_;
    QRegExp rx_;  // the backtracking engine, used when there is no linear one
    std::shared_ptr<const re2::RE2> linear_;
    bool valid_;
};

// One filter of an access rule: a named property of the request and the mask its whole value
// must match.
struct AccFilter {
    AccFilter(TextFilter f, std::string propertyName)
        : filter(std::move(f)), name(std::move(propertyName)) {}

    // False when `record` has no such property (a dotted name is resolved as a path);
    // otherwise whether the property's text, as UTF-8, matches the whole mask.
    bool FilterMatch(const ObjectWithProperties& record) const;

    TextFilter filter;
    std::string name;
};

// One access rule of the handshake section.
struct AccessList {
    std::string user;  // empty: every user
    LogLevel logLevel = none;
    ActionType action = atNone;
    unsigned short number = 0;  // 1-based position in the handshake section
    std::list<AccFilter> filters;

    static ActionType ParseActionType(const char* text) { return alg::ParseActionType(text); }

    // atNone when the rule is for another user or one of its filters does not match;
    // otherwise logs "action of filter" with " <number> - <action>" at the rule's level
    // through `log` and returns the rule's action. A null `user` is read as "".
    ActionType GetAction(const char* user, const ObjectWithProperties& record,
                         I_ToLogSystem& log) const;

    // Builds rule `number` from its policy record: the level by ParseLogLevel, the action by
    // ParseActionType, each filter's mask by TextFilter (all of which throw
    // InitializerError). A mask that does not compile is logged through `log` as a warning
    // naming the rule's number and the mask.
    static AccessList FromPolicy(const ALGaccessType& rule, unsigned short number,
                                 I_ToLogSystem& log);
};

// The ordered access rules of a listener.
class HandshakeFilter {
  public:
    // The action of the first rule that applies; when none applies, logs "Default Filter
    // action" at verbose and returns atReject.
    ActionType GetAction(const char* user, const ObjectWithProperties& record,
                         I_ToLogSystem& log) const;

    void Append(AccessList rule) { rules_.push_back(std::move(rule)); }
    // Appends one rule per access element of `handshake`, numbered from 1 in document order.
    // Throws as AccessList::FromPolicy; the rules built before the failure stay.
    void Load(const ALGhandshakeType& handshake, I_ToLogSystem& log);
    const std::list<AccessList>& Rules() const { return rules_; }
    void Clear() { rules_.clear(); }

  private:
    std::list<AccessList> rules_;
};

// One cut or replace rule.
struct ProcOption {
    // Throws InitializerError with InvalidMaskType for an unknown mask type. Texts are UTF-8;
    // null is read as "".
    ProcOption(const char* maskType, const char* from, const char* itemName, const char* toText);

    // Whether `itemName` is the rule's item (any letter case) and the pattern matches anywhere
    // in `text` (as UTF-8, the whole text).
    bool Cut(const char* itemName, const std::string& text) const;
    // For the rule's item: TextFilter::Replace by `to`; 0 for another item.
    int Replace(const char* itemName, std::string& text) const;

    TextFilter pattern;
    std::string name;
    std::string to;  // UTF-8
};

// What a section builder does with the body rules of a policy section.
enum class BodyRules { build, skip };

// The fields shared by cut and replace sections.
struct SectionBase {
    std::string userid;  // empty: every user
    LogLevel logLevel = verbose;
    unsigned short index = 0;  // 1-based among the sections of its kind
    std::list<ProcOption> options;
    std::list<ProcOption> bodies;

    // False when the section is limited to another user (exact comparison; null reads "").
    bool AppliesTo(const char* user) const;

  protected:
    // Fills the fields from `rec`: an absent or empty level means verbose, any other is parsed
    // by ParseLogLevel. A body rule with an empty "from" is dropped with a warning; a mask
    // that does not compile is logged as a warning naming the section, the rule and the mask.
    // `kind` ("cut", "replace") names the section in those warnings.
    void Build(const ALGreplaceType& rec, unsigned short sectionIndex, BodyRules bodyRules,
               bool withTo, const char* kind, I_ToLogSystem& log);
};

// A cut section: a matching item or body is refused.
struct CutSection : SectionBase {
    // True (and "Cut option" / "Cut body" logged with ":<index>.<rule>") at the first rule
    // that matches; false when none does or the section is for another user.
    bool ProcessOption(const char* user, const char* itemName, const std::string& value,
                       I_ToLogSystem& log) const;
    bool ProcessBody(const char* user, const std::string& body, I_ToLogSystem& log) const;

    static CutSection FromPolicy(const ALGreplaceType& rec, unsigned short index,
                                 BodyRules bodyRules, I_ToLogSystem& log);
};

// A replace section: every rule rewrites the result of the previous one; each rule with hits
// logs "Replace option" / "Replace body" with ":<index>.<rule> (<count>)".
struct ReplaceSection : SectionBase {
    void ProcessOption(const char* user, const char* itemName, std::string& value,
                       I_ToLogSystem& log) const;
    void ProcessBody(const char* user, std::string& body, I_ToLogSystem& log) const;

    static ReplaceSection FromPolicy(const ALGreplaceType& rec, unsigned short index,
                                     BodyRules bodyRules, I_ToLogSystem& log);
};

// The processing sections of a listener.
class ProcessSection {
  public:
    // True means refuse. Cut sections first (the first hit refuses, nothing is replaced),
    // then every replace section in order on the value as left by the previous one.
    bool ProcessOption(const char* user, const char* itemName, std::string& value,
                       I_ToLogSystem& log) const;
    // As ProcessOption for a body in `codepage`: it is matched in the filter code page and
    // converted back afterwards. On refusal the body is left in the filter code page.
    bool ProcessBody(const char* user, std::string& body, I_ToLogSystem& log,
                     codepage_t codepage) const;

    // Whether a body rule of a cut or replace section applies to `user`: only then must a body
    // be seen whole before it passes.
    bool HasBodyRules(const char* user) const;
    // Whether a replace rule for the item `itemName` (any letter case) applies to `user`.
    bool MayReplace(const char* user, const char* itemName) const;

    // Conversion into and out of the filter code page; nothing happens for the filter code
    // page itself or when the converter reports a size of 0.
    static void PrepareToFilter(std::string& text, codepage_t from);
    static void PrepareToShow(std::string& text, codepage_t to);

    // Append one section per record, indexed from the number already held plus 1. Throw as
    // the sections' FromPolicy; sections built before a failure stay.
    void AddReplaceSections(const ObjectVector<ALGreplaceType>& records, BodyRules bodyRules,
                            I_ToLogSystem& log);
    void AddCutSections(const ObjectVector<ALGreplaceType>& records, BodyRules bodyRules,
                        I_ToLogSystem& log);

    std::list<ReplaceSection> replaces;
    std::list<CutSection> cuts;

    bool Empty() const { return replaces.empty() && cuts.empty(); }
    void Clear() {
        replaces.clear();
        cuts.clear();
    }
};

}  // namespace alg
