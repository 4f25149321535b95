// The policy document model (records named after their XML elements), its XML reader and
// writer, and the four entry points of libpolicydoc. Records are created zero-filled (numbers
// 0, texts null, lists empty) and owned by the list that holds them; a null text means the
// attribute or element was absent and reads as "" through ChArr::c_str(). The library keeps
// no state between calls; a policy object is used by one thread.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "mldoc.h"

#define ALG_POLICYDOC_API __attribute__((visibility("default")))

template <typename T>
class SimpleVector;

// A growable array of pointers that does not own its items. Capacity grows in steps of 16
// items up to 256, of 256 up to 4096, then of 4096, and never shrinks.
template <typename T>
class SimpleVector<T*> {
  public:
    SimpleVector() = default;
    SimpleVector(const SimpleVector&) = delete;
    SimpleVector& operator=(const SimpleVector&) = delete;
    SimpleVector(SimpleVector&& o) noexcept : items_(o.items_), count_(o.count_), cap_(o.cap_) {
        o.items_ = nullptr;
        o.count_ = o.cap_ = 0;
    }
    ~SimpleVector() { delete[] items_; }

    // Makes room for at least `n` items.
    void expand(int n) {
        if (cap_ >= n) return;
        long rounded = n <= 256    ? (n + 15L) / 16 * 16
                       : n <= 4096 ? (n + 255L) / 256 * 256
                                   : (n + 4095L) / 4096 * 4096;
        if (rounded <= 0 || rounded > 0x7fffffffL) return;
        T** grown = new T*[rounded];
        for (int i = 0; i < count_; ++i) grown[i] = items_[i];
        delete[] items_;
        items_ = grown;
        cap_ = static_cast<int>(rounded);
    }
    void append(T* item) {
        expand(count_ + 1);
        items_[count_++] = item;
    }

    int size() const { return count_; }
    int capacity() const { return cap_; }
    bool empty() const { return count_ == 0; }
    T* operator[](int i) const { return items_[i]; }
    // The first item or null.
    T* first() const { return count_ ? items_[0] : nullptr; }
    T* const* begin() const { return items_; }
    T* const* end() const { return items_ + count_; }

  protected:
    T** items_ = nullptr;
    int count_ = 0;
    int cap_ = 0;
};

// A SimpleVector that owns its items: destroying it destroys every item. Items stay in the
// order they were appended.
template <typename T>
class ObjectVector : public SimpleVector<T*> {
  public:
    ObjectVector() = default;
    ObjectVector(ObjectVector&&) noexcept = default;
    ~ObjectVector() {
        for (T* item : *this) delete item;
    }
    // Appends a new zero-filled record and returns it.
    T& appendNew() {
        this->expand(this->count_ + 1);
        T* item = new T();
        this->append(item);
        return *item;
    }
};

struct ALGparamType {
    ChArr name;
    ChArr value;
};

struct ALGauthsystemType {
    ChArr name;  // authentication-system class name; empty selects "Stub"
    ObjectVector<ALGparamType> param;
};

struct ALGloggerType {
    ChArr name;  // logger class name
    ChArr loglevel;
    ObjectVector<ALGparamType> param;
};

struct ALGgeneralType {
    int listen_port = 0;
    int session_timeout = 0;  // seconds
    ChArr default_charset;
    ALGauthsystemType authsystem;
    ObjectVector<ALGloggerType> loggers;
};

struct ALGfilterbyType {
    ChArr name;  // handshake property tested
    ChArr masktype;
    ChArr mask;  // the element's content
};

struct ALGaccessType {
    ChArr userid;
    ChArr loglevel;
    ChArr action;
    ObjectVector<ALGfilterbyType> filterby;
};

struct ALGhandshakeType {
    ObjectVector<ALGaccessType> access;
};

struct ALGoptionType {
    ChArr name;
    ChArr masktype;
    ChArr from;
    ChArr to;
};

struct ALGbodyType {
    ChArr masktype;
    ChArr from;
    ChArr to;
};

// A `replace` or a `cut` rule; the list holding it tells which.
struct ALGreplaceType {
    ChArr userid;
    ChArr loglevel;
    ObjectVector<ALGoptionType> option;
    ObjectVector<ALGbodyType> body;
};

struct ALGprocessType {
    ObjectVector<ALGreplaceType> replace;
    ObjectVector<ALGreplaceType> cut;
};

struct ALGproxyType {
    ChArr name;
    ObjectVector<ALGgeneralType> general;
    ObjectVector<ALGhandshakeType> handshake;
    ObjectVector<ALGprocessType> process;
};

struct ALG_POLICYDOC_API ALGalgpolicyType {
    ObjectVector<ALGproxyType> proxy;

    // Parses `length` bytes at `text` (`name` names the document in errors) and appends its
    // proxy sections. False when the reader fails (its text is printed as "Error: %s\n" on
    // standard output; records read so far stay) or when the document has not exactly one
    // `algpolicy` element (nothing printed).
    bool load(const char* name, const char* text, int length);
    // The same for the file at `path`.
    bool load(const std::string& path);
    // Writes the policy as XML to `path` (mode 0600); false after printing a writer error.
    bool saveToFile(const std::string& path) const;
    // Writes the policy as XML into `out`, replacing its content; false after printing a
    // writer error or "Error: Not enough memory".
    bool saveToStr(std::string& out) const;
};

// Line of the element each record was read from; an integer or text element of `general`
// and its authsystem are noted as fields of the general record.
class RecordLines {
  public:
    void note(const void* record, const char* field, int line) {
        lines_[{record, field ? field : ""}] = line;
    }
    // 0 when unknown.
    int lineOf(const void* record, const char* field = nullptr) const {
        const auto it = lines_.find({record, field ? field : ""});
        return it == lines_.end() ? 0 : it->second;
    }
    void clear() { lines_.clear(); }

  private:
    std::map<std::pair<const void*, std::string>, int> lines_;
};

// Fills the model from a loaded document. Throws TTT for content the reader rejects.
class ALG_POLICYDOC_API AlgDoc : public MLDoc {
  public:
    // Makes parse() note the records' lines in `lines` (null: no notes).
    void setRecordLines(RecordLines* lines) { lines_ = lines; }
    void noteLine(const void* record, const MLDoc::Token& token, const char* field = nullptr) {
        if (lines_) lines_->note(record, field, token.line());
    }

    // True when exactly one top-level `algpolicy` element was met.
    bool parse(ALGalgpolicyType& policy);
    // Reads the proxy sections one at a time: each is handed to `each` with its index (from
    // 1) and freed before the next is read, so a long policy never holds more than one
    // section's records. True when exactly one top-level `algpolicy` element was met.
    bool parseEach(const std::function<void(const ALGproxyType& proxy, int index)>& each);
    void parse(ObjectVector<ALGparamType>& list, MLDoc::Token& token);
    void parse(ObjectVector<ALGbodyType>& list, MLDoc::Token& token);
    void parse(ObjectVector<ALGoptionType>& list, MLDoc::Token& token);

  private:
    void parse(ALGproxyType& proxy, MLDoc::Token& token);
    RecordLines* lines_ = nullptr;
};

// Writes the model as XML: fixed declaration line, fixed element and attribute order.
class ALG_POLICYDOC_API AlgDocOut : public MLDocOut {
  public:
    void save(const ALGalgpolicyType& policy);
    void saveToStr(std::string& out, const ALGalgpolicyType& policy);
    void saveToFile(const std::string& path, const ALGalgpolicyType& policy);
    void writeChildren(const ObjectVector<ALGparamType>& params);
    void writeChildren(const char* tag, const ObjectVector<ALGreplaceType>& rules);
};
