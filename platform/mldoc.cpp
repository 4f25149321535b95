#include "mldoc.h"

#include <fcntl.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "basis.h"

namespace {

constexpr const char kEntityRefused[] = "entity declarations are not accepted";
constexpr const char kTooLarge[] = "document too large";
constexpr const char kBadLength[] = "invalid document length";
constexpr const char kNotWellFormed[] = "document is not well-formed";
constexpr const char kTooManyAttributes[] = "element with more than 32 attributes";
constexpr const char kNoWriterTarget[] = "writer has no output";
constexpr const char kIntegerExpected[] = "integer expected in element <";
constexpr std::size_t kMaxWarnings = 32;
constexpr std::size_t kFileChunk = 64 * 1024;

std::string ErrnoText(const char* what, int err) {
    return std::string(what) + ": " + std::strerror(err);
}

const char* Chars(const xmlChar* s) {
    return reinterpret_cast<const char*>(s);
}

// Whole qualified name comparison: "prefix:local" for a namespaced node.
bool QNameIs(const xmlNs* ns, const xmlChar* local, const char* want) {
    if (!local || !want) return false;
    if (ns && ns->prefix) {
        const std::size_t plen = std::strlen(Chars(ns->prefix));
        return std::strncmp(want, Chars(ns->prefix), plen) == 0 && want[plen] == ':' &&
               std::strcmp(want + plen + 1, Chars(local)) == 0;
    }
    return std::strcmp(Chars(local), want) == 0;
}

ChArr TakeXmlText(xmlChar* text) {
    ChArr out(Chars(text));
    xmlFree(text);
    return out;
}

struct ParseIssue {
    int line;
    std::string text;
};

// What the parser callbacks collect while one document is read.
struct ParseState {
    bool entityRefused = false;
    int entityLine = 0;
    bool haveError = false;
    ParseIssue error;
    std::vector<ParseIssue> warnings;
};

std::string TrimMessage(const char* msg) {
    std::string s = msg ? msg : kNotWellFormed;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s.empty() ? std::string(kNotWellFormed) : s;
}

ParseState* StateOf(void* ctx) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    return ctxt ? static_cast<ParseState*>(ctxt->_private) : nullptr;
}

// Any entity declaration stops the parse before a reference to it can be expanded: this
// rules out entity amplification and external entities whatever the libxml2 defaults are.
void RefuseEntity(void* ctx) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    if (ParseState* st = StateOf(ctx)) {
        if (!st->entityRefused) {
            st->entityRefused = true;
            st->entityLine = ctxt->input ? ctxt->input->line : 0;
        }
    }
    xmlStopParser(ctxt);
}

void OnEntityDecl(void* ctx, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
    RefuseEntity(ctx);
}

void OnUnparsedEntityDecl(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*,
                          const xmlChar*) {
    RefuseEntity(ctx);
}

void OnStructuredError(void* ctx, xmlErrorPtr err) {
    ParseState* st = StateOf(ctx);
    if (!st || !err) return;
    if (err->level == XML_ERR_WARNING) {
        if (st->warnings.size() < kMaxWarnings)
            st->warnings.push_back({err->line, TrimMessage(err->message)});
        return;
    }
    if (!st->haveError) {
        st->haveError = true;
        st->error = {err->line, TrimMessage(err->message)};
    }
}

struct CtxtDeleter {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};

}  // namespace

const char empty_string[] = "";

bool streq(const char* a, const char* b) {
    return std::strcmp(a ? a : empty_string, b ? b : empty_string) == 0;
}

// ---- ChArr ----

void ChArr::set(const char* text) {
    if (!text) {
        text_.reset();
        return;
    }
    set(text, std::strlen(text));
}

void ChArr::set(const char* text, std::size_t length) {
    if (!text) {
        text_.reset();
        return;
    }
    std::unique_ptr<char[]> copy(new char[length + 1]);
    std::memcpy(copy.get(), text, length);
    copy[length] = '\0';
    text_ = std::move(copy);
}

// ---- TTT ----

TTT::TTT(std::string document, int line, std::string cause)
    : std::runtime_error(document + ":" + std::to_string(line) + ": " + cause),
      document_(std::move(document)),
      line_(line),
      cause_(std::move(cause)) {}

std::string TTT::makeMulti() const {
    std::string out = "Document: " + (document_.empty() ? std::string("(unnamed)") : document_);
    if (line_ > 0) out += "\nLine: " + std::to_string(line_);
    out += "\nCause: " + cause_;
    return out;
}

// ---- MLDoc ----

MLDoc::MLDoc() = default;

MLDoc::~MLDoc() {
    release();
}

void MLDoc::release() {
    if (doc_) xmlFreeDoc(doc_);
    doc_ = nullptr;
}

void MLDoc::warn(const TTT&, const Token*, const Attribute*) const {}

namespace {

// The line (from 1) of the first start tag in `text` that has more than `limit` attributes,
// 0 when there is none. One pass over the text, so that such a tag is refused before the
// parser meets it: libxml2 compares every attribute of an element with every other one, which
// makes tens of thousands of them cost minutes. Comments, CDATA sections, processing
// instructions, declarations and quoted values are skipped; anything malformed is left to
// the parser.
int CrowdedElementLine(std::string_view text, int limit) {
    int line = 1;
    std::size_t i = 0;
    // Moves past `end`, counting lines; false when it never comes.
    auto skipPast = [&](std::string_view end) {
        const std::size_t at = text.find(end, i);
        const std::size_t stop = at == std::string_view::npos ? text.size() : at + end.size();
        for (; i < stop; ++i) line += text[i] == '\n';
        return at != std::string_view::npos;
    };
    while (i < text.size()) {
        if (text[i] != '<') {
            line += text[i++] == '\n';
            continue;
        }
        const std::string_view rest = text.substr(i);
        bool closed = true;
        if (rest.starts_with("<!--")) {
            closed = skipPast("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            closed = skipPast("]]>");
        } else if (rest.starts_with("<?")) {
            closed = skipPast("?>");
        } else if (rest.starts_with("<!") || rest.starts_with("</")) {
            closed = skipPast(">");
        } else {
            const int tagLine = line;
            int attributes = 0;
            char quote = 0;
            for (++i; i < text.size(); ++i) {
                const char c = text[i];
                line += c == '\n';
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    if (++attributes > limit) return tagLine;
                } else if (c == '>') {
                    ++i;
                    break;
                }
            }
        }
        if (!closed) break;
    }
    return 0;
}

}  // namespace

void MLDoc::load(const char* name, const char* text, int length) {
    release();
    name_ = name ? name : "";
    if (length < 0 || (!text && length > 0)) throw TTT(name_, 0, kBadLength);
    if (static_cast<std::size_t>(length) > kMaxDocumentSize) throw TTT(name_, 0, kTooLarge);
    if (const int line =
            CrowdedElementLine(std::string_view(text ? text : "", length), kMaxAttributes))
        throw TTT(name_, line, kTooManyAttributes);
    // libxml2's global set-up must not run twice at once.
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });
    std::unique_ptr<xmlParserCtxt, CtxtDeleter> ctxt(xmlNewParserCtxt());
    if (!ctxt || !ctxt->sax) throw std::bad_alloc();
    ParseState state;
    ctxt->_private = &state;
    ctxt->sax->entityDecl = OnEntityDecl;
    ctxt->sax->unparsedEntityDecl = OnUnparsedEntityDecl;
    ctxt->sax->serror = OnStructuredError;
    ctxt->sax->error = nullptr;
    ctxt->sax->warning = nullptr;
    // No XML_PARSE_NOENT (no substitution), no DTD loading, no network, no huge-document
    // relaxation: libxml2's own size limits on text nodes and names stay in force.
    const int options = XML_PARSE_NONET | XML_PARSE_BIG_LINES;
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt.get(), text ? text : "", length,
                                      name_.empty() ? nullptr : name_.c_str(), nullptr, options);
    const bool wellFormed = ctxt->wellFormed != 0;
    if (state.entityRefused || !wellFormed || !doc) {
        if (doc) xmlFreeDoc(doc);
        if (state.entityRefused) throw TTT(name_, state.entityLine, kEntityRefused);
        if (state.haveError) throw TTT(name_, state.error.line, state.error.text);
        throw TTT(name_, 0, kNotWellFormed);
    }
    doc_ = doc;
    for (const ParseIssue& w : state.warnings) warn(TTT(name_, w.line, w.text), nullptr, nullptr);
}

std::string MLDoc::readFile(const std::string& path, std::size_t limit) {
    try {
        return ReadRegularFile(path, limit);
    } catch (const FileReadError& e) {
        throw TTT(path, 0, e.TooLarge() ? kTooLarge : e.what());
    }
}

void MLDoc::load(const std::string& path) {
    release();
    const std::string data = readFile(path);
    load(path.c_str(), data.data(), static_cast<int>(data.size()));
}

MLDoc::ChildIterator MLDoc::top(const char* name) const {
    return ChildIterator(this, doc_ ? doc_->children : nullptr, name);
}

// ---- iteration ----

MLDoc::ChildIterator::ChildIterator(const MLDoc* doc, _xmlNode* first, const char* filter)
    : doc_(doc), filter_(filter ? filter : ""), filtered_(filter != nullptr) {
    cur_ = advance(first);
}

_xmlNode* MLDoc::ChildIterator::advance(_xmlNode* from) const {
    for (xmlNode* n = from; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (!filtered_ || QNameIs(n->ns, n->name, filter_.c_str())) return n;
    }
    return nullptr;
}

bool MLDoc::ChildIterator::next(Token& out) {
    if (!cur_) return false;
    out = Token(doc_, cur_);
    cur_ = advance(cur_->next);
    return true;
}

MLDoc::ChildIterator::Iter MLDoc::ChildIterator::begin() {
    return Iter{this, cur_};
}

MLDoc::Token MLDoc::ChildIterator::Iter::operator*() const {
    return Token(owner->doc_, node);
}

MLDoc::ChildIterator::Iter& MLDoc::ChildIterator::Iter::operator++() {
    node = owner->advance(node->next);
    return *this;
}

// ---- Token ----

const char* MLDoc::Token::name() const {
    return node_ ? Chars(node_->name) : empty_string;
}

bool MLDoc::Token::is(const char* name) const {
    return node_ && QNameIs(node_->ns, node_->name, name);
}

int MLDoc::Token::line() const {
    return node_ ? static_cast<int>(xmlGetLineNo(node_)) : 0;
}

MLDoc::ChildIterator MLDoc::Token::children(const char* name) const {
    return ChildIterator(doc_, node_ ? node_->children : nullptr, name);
}

MLDoc::Attribute MLDoc::Token::firstAttribute() const {
    return Attribute(node_ ? node_->properties : nullptr);
}

ChArr MLDoc::Token::attribute(const char* name) const {
    for (Attribute a = firstAttribute(); a; a.next())
        if (a.is(name)) return a.value();
    return ChArr();
}

ChArr MLDoc::Token::text() const {
    if (!node_) return ChArr();
    xmlChar* content = xmlNodeGetContent(node_);
    if (!content) return ChArr(empty_string);
    return TakeXmlText(content);
}

int MLDoc::Token::getInt() const {
    const ChArr content = text();
    const char* s = content.c_str();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (blank(*s)) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    long long value = 0;
    const char* digits = s;
    bool overflow = false;
    while (*s >= '0' && *s <= '9') {
        value = value * 10 + (*s++ - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) overflow = true, value = INT_MAX;
    }
    const bool anyDigit = s != digits;
    while (blank(*s)) ++s;
    if (negative) value = -value;
    if (!anyDigit || *s != '\0' || overflow || value > INT_MAX || value < INT_MIN) {
        std::string shown = content.c_str();
        if (shown.size() > 40) shown = shown.substr(0, 40) + "...";
        throw TTT(doc_ ? doc_->name() : std::string(), line(),
                  std::string(kIntegerExpected) + name() + ">, got \"" + shown + "\"");
    }
    return static_cast<int>(value);
}

// ---- Attribute ----

const char* MLDoc::Attribute::name() const {
    return attr_ ? Chars(attr_->name) : empty_string;
}

bool MLDoc::Attribute::is(const char* name) const {
    return attr_ && QNameIs(attr_->ns, attr_->name, name);
}

ChArr MLDoc::Attribute::value() const {
    if (!attr_) return ChArr();
    xmlChar* v = xmlNodeListGetString(attr_->doc, attr_->children, 1);
    if (!v) return ChArr(empty_string);
    return TakeXmlText(v);
}

int MLDoc::Attribute::line() const {
    return attr_ && attr_->parent ? static_cast<int>(xmlGetLineNo(attr_->parent)) : 0;
}

void MLDoc::Attribute::next() {
    if (attr_) attr_ = attr_->next;
}

// ---- UTF8File ----

// Written to a private temporary file beside the target and renamed over it on close, so
// readers never see a half-written document and a symbolic link at the path is replaced,
// not followed.
UTF8File::UTF8File(const std::string& path) : path_(path) {
    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) throw TTT(path, 0, ErrnoText("cannot create file", errno));
    tmpPath_ = name.data();
    if (fchmod(fd_, S_IRUSR | S_IWUSR) != 0) {
        const int err = errno;
        discard();
        throw TTT(path, 0, ErrnoText("cannot set file mode", err));
    }
}

UTF8File::~UTF8File() {
    discard();
}

void UTF8File::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        ::unlink(tmpPath_.c_str());
    }
}

void UTF8File::append(const char* data, std::size_t length) {
    if (fd_ < 0) throw TTT(path_, 0, kNoWriterTarget);
    pending_.append(data, length);
    if (pending_.size() >= kFileChunk) flush();
}

void UTF8File::flush() {
    std::size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            discard();
            throw TTT(path_, 0, ErrnoText("cannot write file", err));
        }
        done += static_cast<std::size_t>(n);
    }
    pending_.clear();
}

void UTF8File::close() {
    if (fd_ < 0) return;
    flush();
    if (::fsync(fd_) != 0 && errno != EINVAL) {
        const int err = errno;
        discard();
        throw TTT(path_, 0, ErrnoText("cannot write file", err));
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmpPath_.c_str());
        throw TTT(path_, 0, ErrnoText("cannot write file", err));
    }
    if (::rename(tmpPath_.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmpPath_.c_str());
        throw TTT(path_, 0, ErrnoText("cannot replace file", err));
    }
}

// ---- MLDocOut ----

MLDocOut::~MLDocOut() = default;  // an unfinished file is discarded by UTF8File

void MLDocOut::setEol(const char* eol) {
    if (eol)
        eol_.assign(eol, std::strlen(eol));
    else
        eol_.clear();
}

void MLDocOut::start(Bag& bag) {
    file_.reset();
    bag_ = &bag;
    depth_ = 0;
}

void MLDocOut::start(const std::string& path) {
    bag_ = nullptr;
    file_.reset();
    file_ = std::make_unique<UTF8File>(path);
    depth_ = 0;
}

void MLDocOut::end() {
    bag_ = nullptr;
    if (file_) {
        std::unique_ptr<UTF8File> f = std::move(file_);
        f->close();
    }
}

void MLDocOut::raw(const char* text, std::size_t length) {
    if (bag_)
        bag_->append(text, length);
    else if (file_)
        file_->append(text, length);
    else
        throw TTT(std::string(), 0, kNoWriterTarget);
}

void MLDocOut::raw(const char* text) {
    if (text) raw(text, std::strlen(text));
}

void MLDocOut::rawLine(const char* text) {
    raw(text);
    eol();
}

void MLDocOut::indent() {
    const std::string spaces(static_cast<std::size_t>(depth_) * static_cast<std::size_t>(step_),
                             ' ');
    raw(spaces.data(), spaces.size());
}

void MLDocOut::open(const char* name) {
    indent();
    raw("<");
    raw(name);
}

void MLDocOut::attr(const char* name, const char* value) {
    raw(" ");
    raw(name);
    raw("=\"");
    const std::string v = EscapeAttribute(value);
    raw(v.data(), v.size());
    raw("\"");
}

void MLDocOut::children() {
    raw(">");
    eol();
    ++depth_;
}

void MLDocOut::close(const char* name) {
    if (depth_ > 0) --depth_;
    indent();
    raw("</");
    raw(name);
    raw(">");
    eol();
}

void MLDocOut::closeEmpty() {
    raw("/>");
    eol();
}

void MLDocOut::format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) {
        va_end(ap);
        throw TTT(std::string(), 0, "invalid format");
    }
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    raw(out.data(), static_cast<std::size_t>(n));
}

void MLDocOut::escaped(const char* text) {
    const std::string e = EscapeText(text);
    raw(e.data(), e.size());
}

std::string MLDocOut::EscapeText(const char* text) {
    if (!text || !*text) return std::string();
    xmlChar* enc = xmlEncodeSpecialChars(nullptr, reinterpret_cast<const xmlChar*>(text));
    if (!enc) throw std::bad_alloc();
    const std::string base(Chars(enc));
    xmlFree(enc);
    // C1 controls (U+0080 to U+009F, "\xC2\x80" to "\xC2\x9F" in UTF-8) go out as character
    // references: the same document, but one that cannot drive a terminal it is shown on.
    std::string out;
    out.reserve(base.size());
    for (std::size_t i = 0; i < base.size(); ++i) {
        const auto next = static_cast<unsigned char>(i + 1 < base.size() ? base[i + 1] : 0);
        if (static_cast<unsigned char>(base[i]) == 0xC2 && next >= 0x80 && next <= 0x9F) {
            char ref[8];
            std::snprintf(ref, sizeof ref, "&#x%X;", next);
            out += ref;
            ++i;
        } else {
            out += base[i];
        }
    }
    return out;
}

// Attribute values also keep line ends and tabs, which a reader would otherwise normalise
// to spaces.
std::string MLDocOut::EscapeAttribute(const char* text) {
    const std::string base = EscapeText(text);
    std::string out;
    out.reserve(base.size());
    for (char c : base) {
        if (c == '\n')
            out += "&#10;";
        else if (c == '\t')
            out += "&#9;";
        else
            out += c;
    }
    return out;
}
