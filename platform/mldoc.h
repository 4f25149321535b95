// XML reading and writing for the policy library: an owned text type, a DOM-style reader over
// libxml2 that never touches the network, never loads a DTD and refuses entity declarations,
// and a streaming writer with indentation and escaping. Every failure throws TTT.
// One reader or writer object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

// The empty C text, for readers of fields that may be null.
extern const char empty_string[];

// True when both texts are equal; a null text equals only another null text or "".
bool streq(const char* a, const char* b);

// An owned NUL-terminated text that may be null (null = "absent"). Copying copies the text.
class ChArr {
  public:
    ChArr() = default;
    explicit ChArr(const char* text) { set(text); }
    ChArr(const char* text, std::size_t length) { set(text, length); }
    ChArr(const ChArr& other) { set(other.get()); }
    ChArr& operator=(const ChArr& other) {
        if (this != &other) set(other.get());
        return *this;
    }
    ChArr(ChArr&&) noexcept = default;
    ChArr& operator=(ChArr&&) noexcept = default;

    // Replaces the text by a copy of `text` (null makes it null).
    void set(const char* text);
    void set(const char* text, std::size_t length);
    void reset() { text_.reset(); }

    // The text or null.
    const char* get() const { return text_.get(); }
    operator const char*() const { return text_.get(); }
    // The text, or "" when null.
    const char* c_str() const { return text_ ? text_.get() : empty_string; }
    bool isNull() const { return !text_; }
    // True when null or "".
    bool empty() const { return !text_ || text_[0] == '\0'; }

  private:
    std::unique_ptr<char[]> text_;
};

// The one error type of the XML layer: the document's name, a line (0 when unknown) and the
// cause.
class TTT : public std::runtime_error {
  public:
    TTT(std::string document, int line, std::string cause);
    const std::string& document() const { return document_; }
    int line() const { return line_; }
    const std::string& cause() const { return cause_; }
    // Multi-line form naming document, line and cause, without a final line end.
    std::string makeMulti() const;

  private:
    std::string document_;
    int line_;
    std::string cause_;
};

struct _xmlDoc;
struct _xmlNode;
struct _xmlAttr;

// Reads one document at a time. Elements are visited in document order; texts come out as
// UTF-8. A loaded document stays until release(), a new load or destruction.
class MLDoc {
  public:
    class Token;

    // One attribute of an element; walk all attributes with next() while the object is true.
    class Attribute {
      public:
        Attribute() = default;
        explicit operator bool() const { return attr_ != nullptr; }
        // The local name; is() compares the whole qualified name ("prefix:local").
        const char* name() const;
        bool is(const char* name) const;
        // The attribute's value with character references decoded.
        ChArr value() const;
        int line() const;
        void next();

      private:
        friend class Token;
        explicit Attribute(_xmlAttr* attr) : attr_(attr) {}
        _xmlAttr* attr_ = nullptr;
    };

    // Walks the element children of a node in document order, all of them or only those with
    // a given name: `for (MLDoc::Token t : token.children("x"))` or `while (it.next(t))`.
    class ChildIterator {
      public:
        ChildIterator(const MLDoc* doc, _xmlNode* first, const char* filter);
        bool next(Token& out);

        struct Iter {
            ChildIterator* owner;
            _xmlNode* node;
            Token operator*() const;
            Iter& operator++();
            bool operator!=(const Iter& o) const { return node != o.node; }
        };
        Iter begin();
        Iter end() { return Iter{this, nullptr}; }

      private:
        _xmlNode* advance(_xmlNode* from) const;
        const MLDoc* doc_;
        _xmlNode* cur_;
        std::string filter_;
        bool filtered_;
    };

    // One element of the loaded document; valid until the document is released.
    class Token {
      public:
        Token() = default;
        Token(const MLDoc* doc, _xmlNode* node) : doc_(doc), node_(node) {}
        explicit operator bool() const { return node_ != nullptr; }
        // The local name; is() compares the whole qualified name ("prefix:local").
        const char* name() const;
        bool is(const char* name) const;
        int line() const;
        ChildIterator children(const char* name = nullptr) const;
        Attribute firstAttribute() const;
        // The value of the attribute named `name`, null when absent.
        ChArr attribute(const char* name) const;
        // The element's character content (all text below it, CDATA included).
        ChArr text() const;
        // The content as a decimal 32-bit integer, blanks around it allowed; anything else
        // throws TTT naming the element and its line.
        int getInt() const;

      private:
        const MLDoc* doc_ = nullptr;
        _xmlNode* node_ = nullptr;
    };

    // Largest document accepted, in bytes: what one command-bus payload carries (8 MiB), so a
    // policy that passes here can also be pushed to a gateway.
    static constexpr std::size_t kMaxDocumentSize = 8u << 20;
    // Most attributes one element may have: a few times what any element of a policy uses.
    static constexpr int kMaxAttributes = 32;

    // The bytes of the file at `path`, at most `limit` of them. The file is opened without
    // waiting (a FIFO with no writer does not block), anything but a regular file is refused,
    // and at most `limit` + 1 bytes are ever read, however large the file is or grows. Every
    // failure, a file over `limit` included, throws TTT naming `path`.
    static std::string readFile(const std::string& path, std::size_t limit = kMaxDocumentSize);

    MLDoc();
    MLDoc(const MLDoc&) = delete;
    MLDoc& operator=(const MLDoc&) = delete;
    virtual ~MLDoc();

    // Parses `length` bytes at `text`; `name` names the document in errors. An element with
    // more than kMaxAttributes attributes is refused (TTT naming its line) before parsing.
    void load(const char* name, const char* text, int length);
    // Reads the file at `path` with readFile and parses it.
    void load(const std::string& path);
    void release();

    // Top-level elements (the root), all or those named `name`.
    ChildIterator top(const char* name = nullptr) const;
    const std::string& name() const { return name_; }

    // Hook for non-fatal reader remarks; the default drops them.
    virtual void warn(const TTT& warning, const Token* token, const Attribute* attribute) const;

  private:
    std::string name_;
    _xmlDoc* doc_ = nullptr;
};

// In-memory target of the writer.
class Bag {
  public:
    void append(const char* data, std::size_t length) { data_.append(data, length); }
    const std::string& str() const { return data_; }
    std::string take() { return std::move(data_); }
    void clear() { data_.clear(); }

  private:
    std::string data_;
};

// A file target of the writer, created (or truncated) with mode 0600 whatever the umask.
class UTF8File {
  public:
    explicit UTF8File(const std::string& path);
    UTF8File(const UTF8File&) = delete;
    UTF8File& operator=(const UTF8File&) = delete;
    ~UTF8File();
    void append(const char* data, std::size_t length);
    // Flushes, closes and puts the file in place; a failure throws TTT and leaves whatever
    // was at the path unchanged. A file never closed is discarded.
    void close();

  private:
    void flush();
    void discard();
    std::string path_;
    std::string tmpPath_;
    int fd_ = -1;
    std::string pending_;
};

// Streams XML text to a Bag or a file. Element calls: open(name), attr(...)*, then either
// children() ... close(name) or closeEmpty(). Every failure throws TTT.
class MLDocOut {
  public:
    MLDocOut() = default;
    MLDocOut(const MLDocOut&) = delete;
    MLDocOut& operator=(const MLDocOut&) = delete;
    ~MLDocOut();

    void start(Bag& bag);
    void start(const std::string& path);
    // Finishes the output (closes the file); safe to call more than once.
    void end();

    void setIndent(int step) { step_ = step < 0 ? 0 : step; }
    void setEol(const char* eol);

    // `text` followed by the line terminator, no indentation.
    void rawLine(const char* text);
    void raw(const char* text);
    void raw(const char* text, std::size_t length);
    void eol() { raw(eol_.data(), eol_.size()); }
    // Current indentation, then "<name".
    void open(const char* name);
    // ` name="value"` with the value escaped for an attribute (null = "").
    void attr(const char* name, const char* value);
    // Ends the start tag and goes one level deeper.
    void children();
    // Goes one level up and writes the indented end tag and a line end.
    void close(const char* name);
    // Ends the open element as an empty element and a line end.
    void closeEmpty();
    void indent();
    void format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // `text` escaped as element content (null = "").
    void escaped(const char* text);

    // Escaping helpers, also used by tests: element content, attribute value. C1 controls
    // are written as character references.
    static std::string EscapeText(const char* text);
    static std::string EscapeAttribute(const char* text);

  private:
    Bag* bag_ = nullptr;
    std::unique_ptr<UTF8File> file_;
    std::string eol_ = "\n";
    int step_ = 2;
    int depth_ = 0;
};
