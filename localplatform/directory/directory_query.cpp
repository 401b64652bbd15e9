#include "localplatform/directory/directory_query.h"

#include <cctype>
#include <cstdio>

#include "base/error.h"
#include "base/strfuncs.h"

namespace localplatform::directory {
namespace {

using platform::Error;
namespace err = platform::err;

// Deep nesting is no real query; the bound keeps recursion (and a hostile
// text) from exhausting the stack.
constexpr int kMaxDepth = 64;

bool IEquals(std::string_view a, std::string_view b) {
    return platform::EqualsNoCase(a, b);
}

[[noreturn]] void Malformed(std::string_view text, size_t pos, const std::string& reason) {
    throw Error(err::kErrorsInCommand,
                platform::Describe("Command.Execute", "directory query",
                                   reason + " at offset " + std::to_string(pos) + " of '" +
                                       std::string(text.substr(0, 200)) + "'",
                                   err::kErrorsInCommand));
}

struct Token {
    enum class Kind { Word, Quoted, Number, Punct, End };
    Kind kind = Kind::End;
    std::string text;
    size_t pos = 0;
};

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text) { Advance(); }

    const Token& Peek() const { return current_; }
    Token Take() {
        Token t = current_;
        Advance();
        return t;
    }
    std::string_view Text() const { return text_; }

private:
    void Advance() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        current_ = Token{};
        current_.pos = pos_;
        if (pos_ >= text_.size()) return;
        const char c = text_[pos_];
        if (c == '\'') {
            // 'it''s': a doubled quote stands for one quote.
            std::string value;
            size_t i = pos_ + 1;
            for (;;) {
                if (i >= text_.size()) Malformed(text_, pos_, "unterminated quoted value");
                if (text_[i] == '\'') {
                    if (i + 1 < text_.size() && text_[i + 1] == '\'') {
                        value += '\'';
                        i += 2;
                        continue;
                    }
                    break;
                }
                value += text_[i++];
            }
            current_.kind = Token::Kind::Quoted;
            current_.text = std::move(value);
            pos_ = i + 1;
            return;
        }
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            size_t i = pos_;
            while (i < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[i])) ||
                                        text_[i] == '-' || text_[i] == '_' || text_[i] == ';'))
                ++i;
            current_.kind = Token::Kind::Word;
            current_.text = std::string(text_.substr(pos_, i - pos_));
            pos_ = i;
            return;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '-') {
            // A number, or an OID used as an attribute name (digits and dots).
            size_t i = pos_ + 1;
            while (i < text_.size() &&
                   (std::isdigit(static_cast<unsigned char>(text_[i])) || text_[i] == '.'))
                ++i;
            current_.kind = Token::Kind::Number;
            current_.text = std::string(text_.substr(pos_, i - pos_));
            if (current_.text == "-") Malformed(text_, pos_, "unexpected '-'");
            pos_ = i;
            return;
        }
        static constexpr std::string_view kTwo[] = {"<=", ">=", "<>", "!="};
        for (auto op : kTwo) {
            if (text_.substr(pos_, 2) == op) {
                current_.kind = Token::Kind::Punct;
                current_.text = std::string(op);
                pos_ += 2;
                return;
            }
        }
        if (c == '(' || c == ')' || c == ',' || c == '=' || c == '<' || c == '>' || c == '*') {
            current_.kind = Token::Kind::Punct;
            current_.text = std::string(1, c);
            ++pos_;
            return;
        }
        Malformed(text_, pos_,
                  std::string("unexpected character '") +
                      (std::isprint(static_cast<unsigned char>(c)) ? std::string(1, c) : "?") +
                      "'");
    }

    std::string_view text_;
    size_t pos_ = 0;
    Token current_;
};

bool IsKeyword(const Token& t, std::string_view word) {
    return t.kind == Token::Kind::Word && IEquals(t.text, word);
}

bool IsAttributeName(const Token& t) {
    if (t.kind == Token::Kind::Number) {
        // An OID: digits separated by single dots.
        const std::string& s = t.text;
        if (s.empty() || s.front() == '.' || s.back() == '.' || s.front() == '-') return false;
        return s.find("..") == std::string::npos && s.find('.') != std::string::npos;
    }
    if (t.kind != Token::Kind::Word) return false;
    static constexpr std::string_view kReserved[] = {"select", "from", "where", "and",
                                                     "or",     "not",  "order", "by"};
    for (auto r : kReserved) {
        if (IEquals(t.text, r)) return false;
    }
    return true;
}

class Parser {
public:
    explicit Parser(std::string_view text) : lex_(text) {}

    DirectoryQuery Parse() {
        DirectoryQuery q;
        Expect("SELECT");
        for (;;) {
            const Token t = lex_.Take();
            if (!IsAttributeName(t)) Malformed(lex_.Text(), t.pos, "expected an attribute name");
            q.attributes.push_back(t.text);
            if (!(lex_.Peek().kind == Token::Kind::Punct && lex_.Peek().text == ",")) break;
            lex_.Take();
        }
        Expect("FROM");
        const Token from = lex_.Take();
        if (from.kind != Token::Kind::Quoted)
            Malformed(lex_.Text(), from.pos, "expected a quoted search root");
        try {
            q.root = ParseAdsPath(from.text);
        } catch (const Error& e) {
            Malformed(lex_.Text(), from.pos, "bad search root: " + e.Description());
        }
        if (q.root.rootDse) Malformed(lex_.Text(), from.pos, "RootDSE cannot be searched");
        if (IsKeyword(lex_.Peek(), "WHERE")) {
            lex_.Take();
            q.where = ParseOr(0);
        }
        if (IsKeyword(lex_.Peek(), "ORDER")) {
            lex_.Take();
            Expect("BY");
            const Token t = lex_.Take();
            if (!IsAttributeName(t))
                Malformed(lex_.Text(), t.pos, "expected an attribute name after ORDER BY");
            q.orderBy = t.text;
            if (IsKeyword(lex_.Peek(), "DESC")) {
                lex_.Take();
                q.descending = true;
            } else if (IsKeyword(lex_.Peek(), "ASC")) {
                lex_.Take();
            }
        }
        if (lex_.Peek().kind != Token::Kind::End)
            Malformed(lex_.Text(), lex_.Peek().pos, "unexpected '" + lex_.Peek().text + "'");
        return q;
    }

private:
    void Expect(std::string_view keyword) {
        const Token t = lex_.Take();
        if (!IsKeyword(t, keyword))
            Malformed(lex_.Text(), t.pos, "expected " + std::string(keyword));
    }

    void CheckDepth(int depth) {
        if (depth > kMaxDepth)
            Malformed(lex_.Text(), lex_.Peek().pos, "conditions nested too deeply");
    }

    std::unique_ptr<Condition> ParseOr(int depth) {
        CheckDepth(depth);
        auto first = ParseAnd(depth + 1);
        if (!IsKeyword(lex_.Peek(), "OR")) return first;
        auto node = std::make_unique<Condition>();
        node->kind = Condition::Kind::Or;
        node->operands.push_back(std::move(first));
        while (IsKeyword(lex_.Peek(), "OR")) {
            lex_.Take();
            node->operands.push_back(ParseAnd(depth + 1));
        }
        return node;
    }

    std::unique_ptr<Condition> ParseAnd(int depth) {
        CheckDepth(depth);
        auto first = ParseUnary(depth + 1);
        if (!IsKeyword(lex_.Peek(), "AND")) return first;
        auto node = std::make_unique<Condition>();
        node->kind = Condition::Kind::And;
        node->operands.push_back(std::move(first));
        while (IsKeyword(lex_.Peek(), "AND")) {
            lex_.Take();
            node->operands.push_back(ParseUnary(depth + 1));
        }
        return node;
    }

    std::unique_ptr<Condition> ParseUnary(int depth) {
        CheckDepth(depth);
        if (IsKeyword(lex_.Peek(), "NOT")) {
            lex_.Take();
            auto node = std::make_unique<Condition>();
            node->kind = Condition::Kind::Not;
            node->operands.push_back(ParseUnary(depth + 1));
            return node;
        }
        if (lex_.Peek().kind == Token::Kind::Punct && lex_.Peek().text == "(") {
            lex_.Take();
            auto inner = ParseOr(depth + 1);
            const Token close = lex_.Take();
            if (!(close.kind == Token::Kind::Punct && close.text == ")"))
                Malformed(lex_.Text(), close.pos, "expected ')'");
            return inner;
        }
        const Token name = lex_.Take();
        if (!IsAttributeName(name)) Malformed(lex_.Text(), name.pos, "expected an attribute name");
        const Token op = lex_.Take();
        auto node = std::make_unique<Condition>();
        node->attribute = name.text;
        if (op.kind != Token::Kind::Punct) Malformed(lex_.Text(), op.pos, "expected a comparison");
        if (op.text == "=")
            node->op = Condition::Op::Equal;
        else if (op.text == "<>" || op.text == "!=")
            node->op = Condition::Op::NotEqual;
        else if (op.text == "<=")
            node->op = Condition::Op::LessOrEqual;
        else if (op.text == ">=")
            node->op = Condition::Op::GreaterOrEqual;
        else
            Malformed(lex_.Text(), op.pos, "unsupported comparison '" + op.text + "'");
        const Token value = lex_.Take();
        if (value.kind == Token::Kind::Quoted) {
            node->value = value.text;
        } else if (value.kind == Token::Kind::Number && value.text.find('.') == std::string::npos) {
            node->value = value.text;
            node->quoted = false;
        } else if (value.kind == Token::Kind::Word &&
                   (IEquals(value.text, "TRUE") || IEquals(value.text, "FALSE"))) {
            // LDAP's Boolean syntax spells its values in upper case.
            node->value = IEquals(value.text, "TRUE") ? "TRUE" : "FALSE";
            node->quoted = false;
        } else {
            Malformed(lex_.Text(), value.pos, "expected a quoted value or a number");
        }
        return node;
    }

    Lexer lex_;
};

// A filter under construction in three-valued logic: a condition on an
// undefined attribute is neither true nor false. Each condition is carried as
// the filter that makes it TRUE and the filter that makes it FALSE; either can
// be the constant "never" or "always".
struct Part {
    enum class Kind { Never, Always, Filter };
    Kind kind = Kind::Never;
    std::string text;
};
struct TwoSided {
    Part isTrue;
    Part isFalse;
    bool definite = true;  // no undefined comparison inside: isFalse = NOT isTrue
};

Part Never() {
    return Part{Part::Kind::Never, {}};
}
Part Always() {
    return Part{Part::Kind::Always, {}};
}
Part Text(std::string s) {
    return Part{Part::Kind::Filter, std::move(s)};
}
Part Negate(const Part& p) {
    if (p.kind == Part::Kind::Never) return Always();
    if (p.kind == Part::Kind::Always) return Never();
    return Text("(!" + p.text + ")");
}

Part Combine(char op, const std::vector<Part>& parts) {
    // op '&': never absorbs, always drops out; '|': the other way round.
    const Part::Kind absorbing = op == '&' ? Part::Kind::Never : Part::Kind::Always;
    std::vector<const Part*> kept;
    for (const auto& p : parts) {
        if (p.kind == absorbing) return p;
        if (p.kind == Part::Kind::Filter) kept.push_back(&p);
    }
    if (kept.empty()) return op == '&' ? Always() : Never();
    if (kept.size() == 1) return *kept.front();
    std::string s = "(";
    s += op;
    for (const Part* p : kept) s += p->text;
    s += ')';
    return Text(std::move(s));
}

bool HasWildcard(const std::string& v) {
    return v.find('*') != std::string::npos;
}

// The filter item for one comparison, or an error for what LDAP cannot say.
std::string CompareItem(const Condition& c, const FilterContext& ctx) {
    std::string value = c.value;
    if (IEquals(c.attribute, "objectCategory") && c.quoted && !value.empty() &&
        !HasWildcard(value) && value.find('=') == std::string::npos &&
        !ctx.schemaNamingContext.empty()) {
        // The provider's shorthand: a class name stands for its category DN.
        value = "CN=" + EscapeDnValue(value) + "," + ctx.schemaNamingContext;
    }
    const std::string& attr = c.attribute;
    switch (c.op) {
        case Condition::Op::LessOrEqual:
        case Condition::Op::GreaterOrEqual:
            if (c.quoted && HasWildcard(value)) {
                throw Error(
                    err::kErrorsInCommand,
                    platform::Describe("Command.Execute", attr, "a wildcard cannot be ordered",
                                       err::kErrorsInCommand));
            }
            return "(" + attr + (c.op == Condition::Op::LessOrEqual ? "<=" : ">=") +
                   EscapeFilterValue(value) + ")";
        case Condition::Op::Equal:
        case Condition::Op::NotEqual: {
            std::string item;
            if (!c.quoted || !HasWildcard(value)) {
                item = "(" + attr + "=" + EscapeFilterValue(value) + ")";
            } else if (value.find_first_not_of('*') == std::string::npos) {
                item = "(" + attr + "=*)";
            } else {
                // Substring: the pieces between the stars, each escaped; runs
                // of stars count as one.
                item = "(" + attr + "=";
                size_t start = 0;
                bool lastWasStar = false;
                for (size_t i = 0; i <= value.size(); ++i) {
                    if (i == value.size() || value[i] == '*') {
                        const std::string piece = value.substr(start, i - start);
                        if (!piece.empty()) item += EscapeFilterValue(piece);
                        if (i < value.size() && !(lastWasStar && piece.empty())) item += '*';
                        lastWasStar = i < value.size();
                        start = i + 1;
                    } else {
                        lastWasStar = false;
                    }
                }
                item += ")";
            }
            return c.op == Condition::Op::NotEqual ? "(!" + item + ")" : item;
        }
    }
    return {};
}

TwoSided Translate(const Condition& c, const FilterContext& ctx, int depth) {
    if (depth > 4 * kMaxDepth) {
        throw Error(err::kErrorsInCommand,
                    platform::Describe("Command.Execute", "directory query",
                                       "conditions nested too deeply", err::kErrorsInCommand));
    }
    switch (c.kind) {
        case Condition::Kind::Compare: {
            if (IEquals(c.attribute, "adspath")) {
                throw Error(
                    err::kErrorsInCommand,
                    platform::Describe("Command.Execute", "adspath",
                                       "a path is not a directory attribute and cannot be compared",
                                       err::kErrorsInCommand));
            }
            if (ctx.isKnownAttribute && !ctx.isKnownAttribute(c.attribute)) {
                // Undefined: true for no entry, false for no entry.
                (void)CompareItem(c, ctx);  // still reject what no filter can say
                return TwoSided{Never(), Never(), false};
            }
            Part item = Text(CompareItem(c, ctx));
            return TwoSided{item, Negate(item), true};
        }
        case Condition::Kind::Not: {
            TwoSided inner = Translate(*c.operands.front(), ctx, depth + 1);
            if (inner.definite) {
                Part negated = Negate(inner.isTrue);
                return TwoSided{std::move(negated), std::move(inner.isTrue), true};
            }
            return TwoSided{std::move(inner.isFalse), std::move(inner.isTrue), false};
        }
        case Condition::Kind::And:
        case Condition::Kind::Or: {
            std::vector<Part> trues, falses;
            bool definite = true;
            for (const auto& operand : c.operands) {
                TwoSided t = Translate(*operand, ctx, depth + 1);
                definite = definite && t.definite;
                trues.push_back(std::move(t.isTrue));
                falses.push_back(std::move(t.isFalse));
            }
            const bool isAnd = c.kind == Condition::Kind::And;
            Part isTrue = Combine(isAnd ? '&' : '|', trues);
            if (definite) {
                Part isFalse = Negate(isTrue);
                return TwoSided{std::move(isTrue), std::move(isFalse), true};
            }
            // AND is false when any operand is false; OR when all are.
            return TwoSided{std::move(isTrue), Combine(isAnd ? '|' : '&', falses), false};
        }
    }
    return TwoSided{};
}

}  // namespace

std::string AdsPath::PathOf(const std::string& entryDn) const {
    std::string out = SchemePrefix() + "//";
    if (!host.empty()) {
        out += host;
        if (port != 0) out += ":" + std::to_string(port);
        out += "/";
    }
    return out + entryDn;
}

AdsPath ParseAdsPath(const std::string& path) {
    auto bad = [&](const std::string& reason) -> Error {
        return Error(err::kDsBadPathname,
                     platform::Describe("bind", path, reason, err::kDsBadPathname));
    };
    AdsPath p;
    size_t rest = 0;
    if (path.size() >= 5 && IEquals(std::string_view(path).substr(0, 5), "GC://")) {
        p.scheme = AdsPath::Scheme::Gc;
        rest = 5;
    } else if (path.size() >= 7 && IEquals(std::string_view(path).substr(0, 7), "LDAP://")) {
        p.scheme = AdsPath::Scheme::Ldap;
        rest = 7;
    } else {
        throw bad("the path must begin with GC:// or LDAP://");
    }
    std::string tail = path.substr(rest);
    if (tail.find('\0') != std::string::npos) throw bad("the path holds a NUL character");
    // Serverless form: the first element is already a DN ("LDAP://CN=x,DC=y").
    const size_t slash = tail.find('/');
    const std::string first = tail.substr(0, slash);
    if (first.find('=') != std::string::npos) {
        p.dn = tail;
    } else {
        std::string host = first;
        p.dn = slash == std::string::npos ? std::string() : tail.substr(slash + 1);
        if (slash == std::string::npos && IEquals(host, "RootDSE")) {
            p.rootDse = true;
            return p;
        }
        const size_t colon = host.rfind(':');
        const size_t bracket = host.rfind(']');
        const bool hasPort =
            colon != std::string::npos &&
            (bracket == std::string::npos ? host.find(':') == colon : colon > bracket);
        if (hasPort) {
            const std::string portText = host.substr(colon + 1);
            if (portText.empty() || portText.size() > 5 ||
                portText.find_first_not_of("0123456789") != std::string::npos)
                throw bad("the port is not a number");
            p.port = std::stoi(portText);
            if (p.port <= 0 || p.port > 65535) throw bad("the port is out of range");
            host = host.substr(0, colon);
        }
        for (char c : host) {
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
                  c == '[' || c == ']' || c == ':'))
                throw bad("the host name holds a character that no host name has");
        }
        p.host = host;
        if (IEquals(p.dn, "RootDSE")) {
            p.rootDse = true;
            p.dn.clear();
            return p;
        }
    }
    if (!p.dn.empty() && p.dn.find('=') == std::string::npos)
        throw bad("the path does not name a distinguished name");
    return p;
}

DirectoryQuery ParseDirectoryQuery(std::string_view text) {
    return Parser(text).Parse();
}

LdapFilter ToLdapFilter(const Condition* where, const FilterContext& context) {
    if (where == nullptr) return LdapFilter{LdapFilter::Kind::Filter, "(objectClass=*)"};
    const TwoSided t = Translate(*where, context, 0);
    switch (t.isTrue.kind) {
        case Part::Kind::Never:
            return LdapFilter{LdapFilter::Kind::MatchesNothing, {}};
        case Part::Kind::Always:
            return LdapFilter{LdapFilter::Kind::Filter, "(objectClass=*)"};
        case Part::Kind::Filter:
            return LdapFilter{LdapFilter::Kind::Filter, t.isTrue.text};
    }
    return LdapFilter{};
}

std::string EscapeFilterValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c < 0x20 || c == 0x7f) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "\\%02x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string EscapeDnValue(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        const bool edgeBlank = c == ' ' && (i == 0 || i + 1 == value.size());
        if (c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';' ||
            c == '=' || edgeBlank || (i == 0 && c == '#')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "\\%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string NormalizeDn(std::string_view dn) {
    std::string out;
    out.reserve(dn.size());
    bool escaped = false;
    for (size_t i = 0; i < dn.size(); ++i) {
        const char c = dn[i];
        if (escaped) {
            out += platform::LowerChar(c);
            escaped = false;
            continue;
        }
        if (c == '\\') {
            out += c;
            escaped = true;
            continue;
        }
        if (c == ',' || c == '=' || c == '+') {
            while (!out.empty() && out.back() == ' ' &&
                   !(out.size() >= 2 && out[out.size() - 2] == '\\'))
                out.pop_back();
            out += c;
            while (i + 1 < dn.size() && dn[i + 1] == ' ') ++i;
            continue;
        }
        out += platform::LowerChar(c);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    size_t lead = out.find_first_not_of(' ');
    return lead == std::string::npos ? std::string() : out.substr(lead);
}

std::string UpperCaseDnTypes(std::string_view dn) {
    std::string out(dn);
    bool inType = true;
    bool escaped = false;
    for (char& c : out) {
        if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (inType) {
            if (c == '=')
                inType = false;
            else
                c = platform::UpperChar(c);
        } else if (c == ',' || c == '+') {
            inType = true;
        }
    }
    return out;
}

}  // namespace localplatform::directory
