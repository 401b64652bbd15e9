#include "localplatform/store/store_query.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <optional>

#include "base/error.h"
#include "localplatform/store/store_url.h"

namespace localplatform {

namespace err = platform::err;
using platform::Error;
using platform::Variant;
using platform::VariantType;

enum class CompareOp { kEq, kNe, kLt, kLe, kGt, kGe };

// An operand: a property name (folded for lookups) or a literal value.
struct Operand {
    bool isProperty = false;
    std::string property;  // as written
    std::string folded;    // property, folded once for every row's lookups
    Variant literal;
};

struct QueryCondition {
    enum class Kind {
        kAnd,
        kOr,
        kNot,
        kCompare,
        kIsNull,
        kIsNotNull,
        kTruthy,
        kConstant
    } kind = Kind::kConstant;
    std::unique_ptr<QueryCondition> a, b;
    CompareOp op = CompareOp::kEq;
    Operand lhs, rhs;
    bool constant = true;
};

ParsedQuery::ParsedQuery() = default;
ParsedQuery::~ParsedQuery() = default;
ParsedQuery::ParsedQuery(ParsedQuery&&) noexcept = default;
ParsedQuery& ParsedQuery::operator=(ParsedQuery&&) noexcept = default;

namespace {

// ------------------------------------------------------------ ISO dates

bool Digits(std::string_view s, size_t pos, size_t n, int& out) {
    if (pos + n > s.size()) return false;
    out = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// "yyyy-mm-dd[(T| )hh:mm[:ss[.fff]]][Z|(+|-)hh:mm]" to Unix seconds (UTC).
std::optional<int64_t> ParseIsoSeconds(std::string_view s) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (!Digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, mo) ||
        s[7] != '-' || !Digits(s, 8, 2, d)) {
        return std::nullopt;
    }
    size_t p = 10;
    if (p < s.size() && (s[p] == 'T' || s[p] == 't' || s[p] == ' ')) {
        if (!Digits(s, p + 1, 2, h) || p + 3 >= s.size() || s[p + 3] != ':' ||
            !Digits(s, p + 4, 2, mi)) {
            return std::nullopt;
        }
        p += 6;
        if (p < s.size() && s[p] == ':') {
            if (!Digits(s, p + 1, 2, sec)) return std::nullopt;
            p += 3;
            if (p < s.size() && s[p] == '.') {
                ++p;
                const size_t start = p;
                while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
                if (p == start) return std::nullopt;
            }
        }
    }
    int offsetMinutes = 0;
    if (p < s.size() && (s[p] == 'Z' || s[p] == 'z')) {
        ++p;
    } else if (p < s.size() && (s[p] == '+' || s[p] == '-')) {
        int oh = 0, om = 0;
        if (!Digits(s, p + 1, 2, oh) || p + 3 >= s.size() || s[p + 3] != ':' ||
            !Digits(s, p + 4, 2, om)) {
            return std::nullopt;
        }
        offsetMinutes = (s[p] == '+' ? 1 : -1) * (oh * 60 + om);
        p += 6;
    }
    if (p != s.size()) return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || sec > 59) return std::nullopt;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return std::nullopt;
    const platform::Date date = platform::Date::FromParts(y, mo, d, h, mi, sec);
    return date.UnixSeconds() - int64_t{offsetMinutes} * 60;
}

// ------------------------------------------------------------ lexer

enum class Tok {
    kEnd,
    kWord,
    kQuoted,
    kString,
    kNumber,
    kOp,
    kLParen,
    kRParen,
    kComma,
    kStar,
    kSemicolon
};

struct Token {
    Tok type = Tok::kEnd;
    std::string text;  // word (as written), quoted/string contents, number, operator
    size_t pos = 0;    // 0-based offset
};

[[noreturn]] void SyntaxError(std::string_view query, size_t pos, const std::string& what) {
    std::string near(query.substr(std::min(pos, query.size()), 20));
    for (char& c : near) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    throw Error(err::kErrorsInCommand,
                "Syntax error in query at position " + std::to_string(pos + 1) +
                    (near.empty() ? std::string(" (end of text)") : " near '" + near + "'") + ": " +
                    what);
}

std::vector<Token> Lex(std::string_view q) {
    std::vector<Token> out;
    out.reserve(32);  // a run's query has about thirty
    size_t i = 0;
    auto isWordChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.';
    };
    while (i < q.size()) {
        const char c = q[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        Token t;
        t.pos = i;
        if (c == '"' || c == '\'') {
            t.type = c == '"' ? Tok::kQuoted : Tok::kString;
            ++i;
            for (;;) {
                const size_t end = q.find(c, i);
                if (end == std::string_view::npos)
                    SyntaxError(q, t.pos, "unterminated quoted text");
                t.text.append(q.substr(i, end - i));
                i = end + 1;
                if (i < q.size() && q[i] == c) {  // a doubled quote stands for one
                    t.text += c;
                    ++i;
                    continue;
                }
                break;
            }
        } else if ((c >= '0' && c <= '9') ||
                   (c == '.' && i + 1 < q.size() && q[i + 1] >= '0' && q[i + 1] <= '9')) {
            t.type = Tok::kNumber;
            while (i < q.size() && ((q[i] >= '0' && q[i] <= '9') || q[i] == '.')) t.text += q[i++];
            if (i < q.size() && (q[i] == 'e' || q[i] == 'E')) {
                t.text += q[i++];
                if (i < q.size() && (q[i] == '+' || q[i] == '-')) t.text += q[i++];
                while (i < q.size() && q[i] >= '0' && q[i] <= '9') t.text += q[i++];
            }
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') {
            t.type = Tok::kWord;
            const size_t start = i;
            while (i < q.size() && isWordChar(q[i])) ++i;
            t.text.assign(q.substr(start, i - start));
        } else if (c == '(') {
            t.type = Tok::kLParen;
            ++i;
        } else if (c == ')') {
            t.type = Tok::kRParen;
            ++i;
        } else if (c == ',') {
            t.type = Tok::kComma;
            ++i;
        } else if (c == '*') {
            t.type = Tok::kStar;
            ++i;
        } else if (c == ';') {
            t.type = Tok::kSemicolon;
            ++i;
        } else if (c == '=' || c == '<' || c == '>' || c == '!' || c == '-') {
            t.type = Tok::kOp;
            t.text = c;
            ++i;
            if (i < q.size() && ((c == '<' && (q[i] == '=' || q[i] == '>')) ||
                                 (c == '>' && q[i] == '=') || (c == '!' && q[i] == '='))) {
                t.text += q[i++];
            }
            if (t.text == "!") SyntaxError(q, t.pos, "unknown operator '!'");
        } else {
            SyntaxError(q, i, "unexpected character");
        }
        out.push_back(std::move(t));
    }
    Token end;
    end.pos = q.size();
    out.push_back(end);
    return out;
}

// ------------------------------------------------------------ parser

constexpr size_t kMaxDepth = 200;  // nesting bound: deep parentheses cannot exhaust the stack

class Parser {
public:
    explicit Parser(std::string_view q) : q_(q), toks_(Lex(q)) {}

    ParsedQuery Query() {
        ParsedQuery out;
        Expect("SELECT");
        if (Peek().type == Tok::kStar) {
            Next();
            out.selectAll = true;
        } else {
            for (;;) {
                if (Peek().type != Tok::kQuoted) Fail("a quoted property name");
                out.columns.push_back(Next().text);
                if (Peek().type != Tok::kComma) break;
                Next();
            }
        }
        Expect("FROM");
        if (IsWord("SCOPE")) {
            Next();
            ExpectType(Tok::kLParen, "'('");
            if (Peek().type != Tok::kString)
                Fail("a quoted scope such as 'shallow traversal of \"URL\"'");
            const Token scope = Next();
            ParseScope(scope, out);
            ExpectType(Tok::kRParen, "')'");
        } else if (Peek().type == Tok::kQuoted) {
            out.scopeUrl = Next().text;
        } else {
            Fail("SCOPE(...) or a quoted folder URL");
        }
        if (IsWord("WHERE")) {
            Next();
            out.where = Or(0);
        }
        if (IsWord("ORDER")) {
            Next();
            Expect("BY");
            for (;;) {
                if (Peek().type != Tok::kQuoted) Fail("a quoted property name");
                ParsedQuery::OrderKey key;
                key.property = Next().text;
                if (IsWord("ASC")) {
                    Next();
                } else if (IsWord("DESC")) {
                    Next();
                    key.descending = true;
                }
                out.orderBy.push_back(std::move(key));
                if (Peek().type != Tok::kComma) break;
                Next();
            }
        }
        if (Peek().type == Tok::kSemicolon) Next();
        if (Peek().type != Tok::kEnd) Fail("the end of the query");
        return out;
    }

private:
    const Token& Peek() const { return toks_[at_]; }
    const Token& Next() { return toks_[at_ < toks_.size() - 1 ? at_++ : at_]; }
    bool IsWord(std::string_view kw) const {
        return Peek().type == Tok::kWord && SameFolded(Peek().text, kw);
    }
    [[noreturn]] void Fail(const std::string& expected) const {
        SyntaxError(q_, Peek().pos, "expected " + expected);
    }
    void Expect(std::string_view kw) {
        if (!IsWord(kw)) Fail(std::string(kw));
        Next();
    }
    void ExpectType(Tok t, const std::string& what) {
        if (Peek().type != t) Fail(what);
        Next();
    }

    // 'shallow traversal of "URL"' | 'deep traversal of "URL"' | '"URL"'
    void ParseScope(const Token& scope, ParsedQuery& out) {
        std::string_view s = scope.text;
        auto fail = [&](const std::string& what) {
            SyntaxError(q_, scope.pos, "scope: expected " + what);
        };
        auto skipBlanks = [&] {
            while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        };
        auto word = [&]() {
            skipBlanks();
            size_t n = 0;
            while (n < s.size() && ((s[n] >= 'a' && s[n] <= 'z') || (s[n] >= 'A' && s[n] <= 'Z')))
                ++n;
            std::string w = FoldName(s.substr(0, n));
            s.remove_prefix(n);
            return w;
        };
        skipBlanks();
        if (!s.empty() && s.front() != '"') {
            const std::string depth = word();
            if (depth == "deep")
                out.deep = true;
            else if (depth != "shallow")
                fail("'shallow' or 'deep'");
            if (word() != "traversal") fail("'traversal'");
            if (word() != "of") fail("'of'");
            skipBlanks();
        }
        if (s.empty() || s.front() != '"') fail("a double-quoted folder URL");
        s.remove_prefix(1);
        out.scopeUrl.clear();
        for (;;) {
            const size_t quote = s.find('"');
            if (quote == std::string_view::npos) fail("a closing double quote");
            out.scopeUrl += s.substr(0, quote);
            s.remove_prefix(quote + 1);
            if (s.empty() || s.front() != '"') break;
            out.scopeUrl += '"';  // "" inside the URL
            s.remove_prefix(1);
        }
        skipBlanks();
        if (!s.empty()) fail("nothing after the folder URL");
        if (out.scopeUrl.empty()) fail("a folder URL");
    }

    void Deeper(size_t depth) const {
        if (depth > kMaxDepth) SyntaxError(q_, Peek().pos, "conditions nested too deeply");
    }

    std::unique_ptr<QueryCondition> Or(size_t depth) {
        Deeper(depth);
        auto left = And(depth + 1);
        while (IsWord("OR")) {
            Next();
            auto node = std::make_unique<QueryCondition>();
            node->kind = QueryCondition::Kind::kOr;
            node->a = std::move(left);
            node->b = And(depth + 1);
            left = std::move(node);
        }
        return left;
    }

    std::unique_ptr<QueryCondition> And(size_t depth) {
        Deeper(depth);
        auto left = Not(depth + 1);
        while (IsWord("AND")) {
            Next();
            auto node = std::make_unique<QueryCondition>();
            node->kind = QueryCondition::Kind::kAnd;
            node->a = std::move(left);
            node->b = Not(depth + 1);
            left = std::move(node);
        }
        return left;
    }

    std::unique_ptr<QueryCondition> Not(size_t depth) {
        Deeper(depth);
        if (IsWord("NOT")) {
            Next();
            auto node = std::make_unique<QueryCondition>();
            node->kind = QueryCondition::Kind::kNot;
            node->a = Not(depth + 1);
            return node;
        }
        return Primary(depth + 1);
    }

    std::unique_ptr<QueryCondition> Primary(size_t depth) {
        Deeper(depth);
        if (Peek().type == Tok::kLParen) {
            Next();
            auto inner = Or(depth + 1);
            ExpectType(Tok::kRParen, "')'");
            return inner;
        }
        const size_t pos = Peek().pos;
        auto node = std::make_unique<QueryCondition>();
        node->lhs = OperandAt();
        if (Peek().type == Tok::kOp) {
            const std::string op = Next().text;
            if (op == "=")
                node->op = CompareOp::kEq;
            else if (op == "<>" || op == "!=")
                node->op = CompareOp::kNe;
            else if (op == "<")
                node->op = CompareOp::kLt;
            else if (op == "<=")
                node->op = CompareOp::kLe;
            else if (op == ">")
                node->op = CompareOp::kGt;
            else if (op == ">=")
                node->op = CompareOp::kGe;
            else
                SyntaxError(q_, pos, "a comparison operator");
            node->kind = QueryCondition::Kind::kCompare;
            node->rhs = OperandAt();
            return node;
        }
        if (IsWord("IS")) {
            Next();
            bool negate = false;
            if (IsWord("NOT")) {
                Next();
                negate = true;
            }
            Expect("NULL");
            node->kind = negate ? QueryCondition::Kind::kIsNotNull : QueryCondition::Kind::kIsNull;
            return node;
        }
        if (node->lhs.isProperty) {
            node->kind = QueryCondition::Kind::kTruthy;
            return node;
        }
        if (node->lhs.literal.Type() == VariantType::Bool) {
            node->kind = QueryCondition::Kind::kConstant;
            node->constant = node->lhs.literal.ToBool();
            return node;
        }
        SyntaxError(q_, pos, "a condition");
    }

    Operand OperandAt() {
        Operand o;
        const Token& t = Peek();
        switch (t.type) {
            case Tok::kQuoted:
                Next();
                o.isProperty = true;
                o.property = t.text;
                o.folded = FoldName(t.text);
                return o;
            case Tok::kString:
                Next();
                o.literal = Variant(t.text);
                return o;
            case Tok::kNumber:
                Next();
                o.literal = Variant(Number(t));
                return o;
            case Tok::kOp:
                if (t.text == "-") {
                    Next();
                    if (Peek().type != Tok::kNumber) Fail("a number after '-'");
                    o.literal = Variant(-Number(Next()));
                    return o;
                }
                break;
            case Tok::kWord: {
                const std::string w = FoldName(t.text);
                if (w == "true" || w == "false") {
                    Next();
                    o.literal = Variant(w == "true");
                    return o;
                }
                if (w == "null") {
                    Next();
                    return o;
                }
                if (w == "cast") {
                    Next();
                    o.literal = Cast();
                    return o;
                }
                break;
            }
            default:
                break;
        }
        Fail("a quoted property name or a value");
    }

    double Number(const Token& t) const {
        double v = 0;
        if (!platform::ParseNumericText(t.text, v) || !std::isfinite(v))
            SyntaxError(q_, t.pos, "a valid number");
        return v;
    }

    // CAST(value AS 'type')
    Variant Cast() {
        ExpectType(Tok::kLParen, "'('");
        const Token value = Peek();
        if (value.type != Tok::kString && value.type != Tok::kQuoted &&
            value.type != Tok::kNumber) {
            Fail("a quoted value to cast");
        }
        Next();
        Expect("AS");
        const Token type = Peek();
        if (type.type != Tok::kString && type.type != Tok::kWord && type.type != Tok::kQuoted)
            Fail("a type name");
        Next();
        ExpectType(Tok::kRParen, "')'");
        const std::string t = FoldName(type.text);
        if (t == "datetime" || t == "datetime.tz" || t == "date") {
            auto secs = ParseIsoSeconds(value.text);
            if (!secs) SyntaxError(q_, value.pos, "an ISO date such as 2026-01-31T12:00:00Z");
            return Variant(FromStoreTime(*secs));
        }
        if (t == "string") return Variant(value.text);
        if (t == "boolean" || t == "bool") {
            const std::string v = FoldName(value.text);
            if (v == "1" || v == "true") return Variant(true);
            if (v == "0" || v == "false") return Variant(false);
            SyntaxError(q_, value.pos, "a Boolean value");
        }
        if (t == "int" || t == "i1" || t == "i2" || t == "i4" || t == "i8" || t == "ui1" ||
            t == "ui2" || t == "ui4" || t == "ui8" || t == "float" || t == "r4" || t == "r8" ||
            t == "number" || t == "fixed.14.4") {
            return Variant(Number(value));
        }
        SyntaxError(q_, type.pos, "a known type such as 'dateTime'");
    }

    std::string_view q_;
    std::vector<Token> toks_;
    size_t at_ = 0;
};

// ------------------------------------------------------------ evaluation

bool IsNumeric(VariantType t) {
    return t == VariantType::Int16 || t == VariantType::Int32 || t == VariantType::Double ||
           t == VariantType::Bool;
}

// Three-way comparison of two values; nothing when they cannot be compared
// (a Null, or unrelated types).
std::optional<int> Order(const Variant& a, const Variant& b) {
    if (a.IsNull() || b.IsNull()) return std::nullopt;
    const VariantType ta = a.Type(), tb = b.Type();
    auto cmp = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    if (ta == VariantType::Date || tb == VariantType::Date) {
        auto secs = [](const Variant& v) -> std::optional<int64_t> {
            if (v.Type() == VariantType::Date) return v.ToDate().UnixSeconds();
            if (v.Type() == VariantType::String) return ParseIsoSeconds(v.AsString());
            return std::nullopt;
        };
        auto x = secs(a), y = secs(b);
        if (!x || !y) return std::nullopt;
        return cmp(*x, *y);
    }
    if (ta == VariantType::String && tb == VariantType::String)
        return cmp(FoldName(a.AsString()), FoldName(b.AsString()));
    auto number = [](const Variant& v) -> std::optional<double> {
        if (IsNumeric(v.Type()))
            return v.Type() == VariantType::Bool ? (v.ToBool() ? 1.0 : 0.0) : v.ToDouble();
        if (v.Type() == VariantType::String) {
            const std::string f = FoldName(v.AsString());
            if (f == "true") return 1.0;
            if (f == "false") return 0.0;
            double d = 0;
            if (platform::ParseNumericText(v.AsString(), d)) return d;
        }
        return std::nullopt;
    };
    auto x = number(a), y = number(b);
    if (!x || !y) return std::nullopt;
    return cmp(*x, *y);
}

bool Holds(CompareOp op, int c) {
    switch (op) {
        case CompareOp::kEq:
            return c == 0;
        case CompareOp::kNe:
            return c != 0;
        case CompareOp::kLt:
            return c < 0;
        case CompareOp::kLe:
            return c <= 0;
        case CompareOp::kGt:
            return c > 0;
        case CompareOp::kGe:
            return c >= 0;
    }
    return false;
}

// Values of one row, fetched on demand and kept for the row. Names come
// folded with them (once per query, not once per row); the keys are views of
// those, which outlive the row. A query reads a handful of names, so they
// are looked for in order; a deque keeps every value handed out where it is
// while more are added, and keeps its storage from row to row.
class RowValues {
public:
    RowValues(ItemStore& store, UrlScheme scheme) : store_(store), scheme_(scheme) {}

    // The row whose values Get reads from now on; the last row's are dropped.
    void Reset(const ItemRow& row, const std::string& href) {
        row_ = &row;
        href_ = &href;
        cache_.clear();
    }

    const Variant& Get(const std::string& name, const std::string& folded) {
        for (const auto& [key, value] : cache_) {
            if (key == folded) return value;
        }
        return cache_.emplace_back(folded, Fetch(name, folded)).second;
    }

    // As Get, for a value read for the last time in this row: one not yet
    // read is made for the caller alone, not kept and copied.
    Variant Take(const std::string& name, const std::string& folded) {
        for (const auto& [key, value] : cache_) {
            if (key == folded) return value;
        }
        return Fetch(name, folded);
    }

private:
    Variant Fetch(const std::string& name, const std::string& folded) {
        return folded == "dav:href" ? Variant(*href_) : store_.Value(*row_, name, folded, scheme_);
    }

    ItemStore& store_;
    UrlScheme scheme_;
    const ItemRow* row_ = nullptr;
    const std::string* href_ = nullptr;
    std::deque<std::pair<std::string_view, Variant>> cache_;
};

const Variant& OperandValue(const Operand& o, RowValues& row) {
    return o.isProperty ? row.Get(o.property, o.folded) : o.literal;
}

bool Evaluate(const QueryCondition& c, RowValues& row) {
    using K = QueryCondition::Kind;
    switch (c.kind) {
        case K::kAnd:
            return Evaluate(*c.a, row) && Evaluate(*c.b, row);
        case K::kOr:
            return Evaluate(*c.a, row) || Evaluate(*c.b, row);
        case K::kNot:
            return !Evaluate(*c.a, row);
        case K::kConstant:
            return c.constant;
        case K::kIsNull:
            return OperandValue(c.lhs, row).IsNull();
        case K::kIsNotNull:
            return !OperandValue(c.lhs, row).IsNull();
        case K::kTruthy: {
            const Variant& v = OperandValue(c.lhs, row);
            auto o = Order(v, Variant(true));
            return o && *o == 0;
        }
        case K::kCompare: {
            auto o = Order(OperandValue(c.lhs, row), OperandValue(c.rhs, row));
            return o && Holds(c.op, *o);
        }
    }
    return false;
}

// ------------------------------------------------------------ SQL prefilter

const char* SqlOp(CompareOp op) {
    switch (op) {
        case CompareOp::kEq:
            return "=";
        case CompareOp::kNe:
            return "<>";
        case CompareOp::kLt:
            return "<";
        case CompareOp::kLe:
            return "<=";
        case CompareOp::kGt:
            return ">";
        case CompareOp::kGe:
            return ">=";
    }
    return "=";
}

CompareOp Mirror(CompareOp op) {
    switch (op) {
        case CompareOp::kLt:
            return CompareOp::kGt;
        case CompareOp::kLe:
            return CompareOp::kGe;
        case CompareOp::kGt:
            return CompareOp::kLt;
        case CompareOp::kGe:
            return CompareOp::kLe;
        default:
            return op;
    }
}

// Translates a condition into an SQL condition over the items table that
// holds for exactly the same rows; nothing when a part of it needs the C++
// evaluator. Under NOT a Null must read as false, hence IFNULL there.
std::optional<std::string> ToSql(const QueryCondition& c, bool underNot,
                                 std::vector<SqlParam>& params) {
    using K = QueryCondition::Kind;
    switch (c.kind) {
        case K::kAnd:
        case K::kOr: {
            const size_t mark = params.size();
            auto a = ToSql(*c.a, underNot, params);
            auto b = a ? ToSql(*c.b, underNot, params) : std::nullopt;
            if (!a || !b) {
                params.resize(mark);
                return std::nullopt;
            }
            return "(" + *a + (c.kind == K::kAnd ? " AND " : " OR ") + *b + ")";
        }
        case K::kNot: {
            auto a = ToSql(*c.a, true, params);
            if (!a) return std::nullopt;
            return "(NOT " + *a + ")";
        }
        case K::kConstant:
            return std::string(c.constant ? "1" : "0");
        case K::kCompare: {
            const Operand* prop = &c.lhs;
            const Operand* lit = &c.rhs;
            CompareOp op = c.op;
            if (!prop->isProperty) {
                std::swap(prop, lit);
                op = Mirror(op);
            }
            if (!prop->isProperty || lit->isProperty || lit->literal.IsNull()) return std::nullopt;
            const std::string& k = prop->folded;
            const Variant& v = lit->literal;
            if ((k == "dav:ishidden" || k == "dav:iscollection" || k == "dav:isfolder") &&
                v.Type() == VariantType::Bool && (op == CompareOp::kEq || op == CompareOp::kNe)) {
                const std::string col = k == "dav:ishidden" ? "hidden" : "(kind <> 0)";
                return col + " " + SqlOp(op) + " " + (v.ToBool() ? "1" : "0");
            }
            if (k == "urn:schemas:httpmail:datereceived" || k == "dav:creationdate" ||
                k == "dav:getlastmodified") {
                std::optional<int64_t> secs;
                if (v.Type() == VariantType::Date)
                    secs = v.ToDate().UnixSeconds();
                else if (v.Type() == VariantType::String)
                    secs = ParseIsoSeconds(v.AsString());
                if (!secs) return std::nullopt;
                const std::string col =
                    k == "dav:creationdate"
                        ? "created"
                        : (k == "dav:getlastmodified" ? "modified" : "received");
                params.emplace_back(*secs);
                const std::string cmp = col + " " + SqlOp(op) + " ?";
                return underNot ? "IFNULL(" + cmp + ", 0)" : cmp;
            }
            if (k == "dav:displayname" && v.Type() == VariantType::String &&
                (op == CompareOp::kEq || op == CompareOp::kNe)) {
                params.emplace_back(FoldName(v.AsString()));
                return std::string("key ") + SqlOp(op) + " ?";
            }
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

// The top-level AND chain, split: each translatable conjunct narrows the
// scan. Returns whether every conjunct was translated (the SQL then holds
// for exactly the rows the condition holds for).
bool CollectConjuncts(const QueryCondition& c, std::vector<std::string>& sql,
                      std::vector<SqlParam>& params) {
    if (c.kind == QueryCondition::Kind::kAnd) {
        const bool a = CollectConjuncts(*c.a, sql, params);
        const bool b = CollectConjuncts(*c.b, sql, params);
        return a && b;
    }
    auto s = ToSql(c, false, params);
    if (!s) return false;
    sql.push_back(*s);
    return true;
}

// The date columns a condition reads (the only values of a translated
// condition that a row can hold unconvertibly).
struct DatesRead {
    bool created = false, modified = false, received = false;
};

void CollectDates(const QueryCondition& c, DatesRead& dates) {
    if (c.a) CollectDates(*c.a, dates);
    if (c.b) CollectDates(*c.b, dates);
    for (const Operand* o : {&c.lhs, &c.rhs}) {
        if (!o->isProperty) continue;
        dates.created |= o->folded == "dav:creationdate";
        dates.modified |= o->folded == "dav:getlastmodified";
        dates.received |= o->folded == "urn:schemas:httpmail:datereceived";
    }
}

// Whether every date the condition reads converts for this row: then the
// SQL's verdict is the condition's, and evaluating it again adds nothing.
bool DatesConvert(const ItemRow& row, const DatesRead& dates) {
    try {
        if (dates.created) (void)FromStoreTime(row.created);
        if (dates.modified) (void)FromStoreTime(row.modified);
        if (dates.received && row.received) (void)FromStoreTime(*row.received);
    } catch (const Error&) {
        return false;
    }
    return true;
}

}  // namespace

std::string QuoteQueryText(std::string_view value, char quote) {
    std::string out(1, quote);
    for (char c : value) {
        out += c;
        if (c == quote) out += quote;
    }
    out += quote;
    return out;
}

ParsedQuery ParseQuery(std::string_view text) {
    if (text.size() > 1 << 20) {
        throw Error(err::kErrorsInCommand,
                    "Query text too long (" + std::to_string(text.size()) + " bytes)");
    }
    return Parser(text).Query();
}

namespace {

// The failure of a row whose value e could not be converted.
Error Unreadable(const std::string& href, const Error& e) {
    return Error(err::kCantConvert,
                 platform::Describe("read item", href, e.Description(), err::kCantConvert));
}

}  // namespace

QueryResult RunQuery(ItemStore& store, const ParsedQuery& query) {
    const std::string fqdn = ThisServerFqdn();
    const StoreUrl url = ParseStoreUrl(query.scopeUrl, fqdn);
    // One read snapshot for the whole query (rows, paths and properties).
    const ItemStore::ScopedRead snapshot(store);
    std::vector<std::string> folderPath;  // as stored, when Lookup tells it
    const auto folder = store.Lookup(url.segments, &folderPath);
    if (!folder || !folder->IsFolder()) {
        throw Error(err::kTableNotFound,
                    platform::Describe("query", query.scopeUrl, "the scope names no folder",
                                       err::kTableNotFound));
    }
    const std::vector<int64_t> parents =
        query.deep ? store.FolderSubtree(folder->id) : std::vector<int64_t>{folder->id};

    std::vector<std::string> conjuncts;
    std::vector<SqlParam> params;
    const bool wholeInSql = query.where && CollectConjuncts(*query.where, conjuncts, params);
    std::string filter;
    for (const auto& c : conjuncts) filter += (filter.empty() ? "" : " AND ") + c;
    DatesRead datesRead;
    if (wholeInSql) CollectDates(*query.where, datesRead);
    // Names folded once for every row.
    std::vector<std::string> foldedColumns;
    for (const auto& n : query.columns) foldedColumns.push_back(FoldName(n));
    std::vector<std::string> foldedOrder;
    for (const auto& k : query.orderBy) foldedOrder.push_back(FoldName(k.property));

    QueryResult result;
    if (!folderPath.empty()) result.folderPaths[folder->id] = std::move(folderPath);
    result.columns = query.columns;
    result.selectAll = query.selectAll;
    std::vector<std::vector<Variant>> sortKeys;
    std::map<int64_t, std::string> folderUrls;  // by folder id, as rows in it extend them
    RowValues values(store, url.scheme);
    // The folded names of SELECT *'s columns, kept while the row's values
    // are: their cache is keyed by these.
    std::vector<std::string> foldedNames;
    // A row's columns are its last values read, unless the rows are sorted
    // by values read after them.
    const bool columnsLast = query.orderBy.empty();
    for (const ItemRow& row : store.Children(parents, filter, params)) {
        auto& parentPath = result.folderPaths[row.parent];
        if (parentPath.empty()) parentPath = store.PathOf(row.parent);
        QueryRow out;
        if (parentPath.size() >= 2) {
            std::string& folderUrl = folderUrls[row.parent];
            if (folderUrl.empty()) folderUrl = FormatStoreUrl(url.scheme, fqdn, parentPath);
            out.href = StoreUrlBelow(folderUrl, row.name, url.scheme);
        } else {
            parentPath.push_back(row.name);
            out.href = FormatStoreUrl(url.scheme, fqdn, parentPath);
            parentPath.pop_back();
        }
        const std::string& href = out.href;
        foldedNames.clear();
        values.Reset(row, href);
        out.id = row.id;
        out.parent = row.parent;
        out.isFolder = row.IsFolder();
        // A value the store cannot convert fails its row, not the query.
        const auto read = [&](const std::string& name, const std::string& folded) {
            try {
                return columnsLast ? values.Take(name, folded) : values.Get(name, folded);
            } catch (const Error& e) {
                if (e.Number() != err::kCantConvert) throw;
                if (!out.unreadable) out.unreadable = Unreadable(href, e);
                return Variant();
            }
        };
        // The condition is evaluated here for every row, unless the SQL
        // provably applied all of it to this one. A mail store's row
        // (row.foreign) comes without the SQL condition applied, and a
        // condition only partly translated is judged here in full: whatever
        // the prefilter did, such rows are evaluated.
        const bool judgedInSql = wholeInSql && !row.foreign && DatesConvert(row, datesRead);
        try {
            if (query.where && !judgedInSql && !Evaluate(*query.where, values)) continue;
        } catch (const Error& e) {
            if (e.Number() != err::kCantConvert) throw;
            out.unreadable = Unreadable(href, e);
        }
        if (query.selectAll) {
            out.names = store.PropertyNames(row);
            for (const auto& n : out.names) foldedNames.push_back(FoldName(n));
            for (size_t i = 0; i < out.names.size(); ++i)
                out.values.push_back(read(out.names[i], foldedNames[i]));
        } else {
            out.values.reserve(query.columns.size());
            for (size_t i = 0; i < query.columns.size(); ++i)
                out.values.push_back(read(query.columns[i], foldedColumns[i]));
        }
        if (!query.orderBy.empty()) {
            std::vector<Variant> keys;
            for (size_t i = 0; i < query.orderBy.size(); ++i)
                keys.push_back(read(query.orderBy[i].property, foldedOrder[i]));
            sortKeys.push_back(std::move(keys));
        }
        result.rows.push_back(std::move(out));
    }

    if (!query.orderBy.empty()) {
        std::vector<size_t> index(result.rows.size());
        for (size_t i = 0; i < index.size(); ++i) index[i] = i;
        std::stable_sort(index.begin(), index.end(), [&](size_t x, size_t y) {
            for (size_t k = 0; k < query.orderBy.size(); ++k) {
                const Variant& a = sortKeys[x][k];
                const Variant& b = sortKeys[y][k];
                int c = 0;
                if (a.IsNull() != b.IsNull())
                    c = a.IsNull() ? -1 : 1;  // Null first
                else if (auto o = Order(a, b))
                    c = *o;
                else
                    c = static_cast<int>(a.Type()) - static_cast<int>(b.Type());
                if (query.orderBy[k].descending) c = -c;
                if (c != 0) return c < 0;
            }
            return false;
        });
        std::vector<QueryRow> sorted;
        sorted.reserve(index.size());
        for (size_t i : index) sorted.push_back(std::move(result.rows[i]));
        result.rows = std::move(sorted);
    }
    return result;
}

}  // namespace localplatform
