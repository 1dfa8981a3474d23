#include "printengine/expression.h"

#include <QString>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace printengine {

enum class Op {
    Literal,
    Ref,
    Neg,
    Not,
    Add,
    Sub,
    Mul,
    Div,
    Eq,
    Ne,
    Lt,
    Le,
    Gt,
    Ge,
    And,
    Or,
    Cond,
    ToString,
    ToUpper,
};

struct ExprNode {
    Op op = Op::Literal;
    Value literal;
    RefKind kind = RefKind::Field;
    std::string name;
    int slot = -1;
    std::unique_ptr<ExprNode> a, b, c;
};

namespace {

std::unique_ptr<ExprNode> Node(Op op, std::unique_ptr<ExprNode> a = nullptr,
                               std::unique_ptr<ExprNode> b = nullptr) {
    auto n = std::make_unique<ExprNode>();
    n->op = op;
    n->a = std::move(a);
    n->b = std::move(b);
    return n;
}

class Parser {
  public:
    explicit Parser(const std::string& text) : s_(text) {}

    std::unique_ptr<ExprNode> Whole() {
        auto n = Conditional();
        SkipBlanks();
        if (pos_ < s_.size()) Fail("unexpected text");
        return n;
    }

  private:
    // Every node is counted: evaluation and destruction recurse over the tree,
    // so a long chain such as 1+1+1+... must stay bounded too.
    std::unique_ptr<ExprNode> Node(Op op, std::unique_ptr<ExprNode> a = nullptr,
                                   std::unique_ptr<ExprNode> b = nullptr) {
        if (++nodes_ > 2000) Fail("expression too long");
        return printengine::Node(op, std::move(a), std::move(b));
    }

    [[noreturn]] void Fail(const std::string& what) const {
        throw ExpressionError("Unsupported expression " + Quoted() + ": " + what + " at position " +
                              std::to_string(pos_ + 1));
    }
    std::string Quoted() const { return "\"" + s_ + "\""; }

    void SkipBlanks() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_])))
            ++pos_;
    }
    bool Accept(std::string_view token) {
        SkipBlanks();
        if (s_.compare(pos_, token.size(), token) != 0) return false;
        // "<" must not take the first half of "<=", and so on.
        if (token.size() == 1 && pos_ + 1 < s_.size() && s_[pos_ + 1] == '=' &&
            (token == "<" || token == ">" || token == "!" || token == "="))
            return false;
        if ((token == "&" || token == "|") && pos_ + 1 < s_.size() && s_[pos_ + 1] == token[0])
            return false;
        pos_ += token.size();
        return true;
    }
    void Expect(std::string_view token) {
        if (!Accept(token)) Fail("expected \"" + std::string(token) + "\"");
    }

    // Nesting is bounded so that hostile input cannot exhaust the stack.
    struct Depth {
        explicit Depth(Parser& p) : p_(p) {
            if (++p_.depth_ > 200) p_.Fail("nested too deeply");
        }
        ~Depth() { --p_.depth_; }
        Parser& p_;
    };

    std::unique_ptr<ExprNode> Conditional() {
        Depth depth(*this);
        auto test = OrExpr();
        if (!Accept("?")) return test;
        auto yes = Conditional();
        Expect(":");
        auto no = Conditional();
        auto n = Node(Op::Cond, std::move(test), std::move(yes));
        n->c = std::move(no);
        return n;
    }
    std::unique_ptr<ExprNode> OrExpr() {
        auto n = AndExpr();
        while (Accept("||"))
            n = Node(Op::Or, std::move(n), AndExpr());
        return n;
    }
    std::unique_ptr<ExprNode> AndExpr() {
        auto n = Equality();
        while (Accept("&&"))
            n = Node(Op::And, std::move(n), Equality());
        return n;
    }
    std::unique_ptr<ExprNode> Equality() {
        auto n = Relation();
        for (;;) {
            if (Accept("=="))
                n = Node(Op::Eq, std::move(n), Relation());
            else if (Accept("!="))
                n = Node(Op::Ne, std::move(n), Relation());
            else
                return n;
        }
    }
    std::unique_ptr<ExprNode> Relation() {
        auto n = Additive();
        for (;;) {
            if (Accept("<="))
                n = Node(Op::Le, std::move(n), Additive());
            else if (Accept(">="))
                n = Node(Op::Ge, std::move(n), Additive());
            else if (Accept("<"))
                n = Node(Op::Lt, std::move(n), Additive());
            else if (Accept(">"))
                n = Node(Op::Gt, std::move(n), Additive());
            else
                return n;
        }
    }
    std::unique_ptr<ExprNode> Additive() {
        auto n = Multiplicative();
        for (;;) {
            if (Accept("+"))
                n = Node(Op::Add, std::move(n), Multiplicative());
            else if (Accept("-"))
                n = Node(Op::Sub, std::move(n), Multiplicative());
            else
                return n;
        }
    }
    std::unique_ptr<ExprNode> Multiplicative() {
        auto n = Unary();
        for (;;) {
            if (Accept("*"))
                n = Node(Op::Mul, std::move(n), Unary());
            else if (Accept("/"))
                n = Node(Op::Div, std::move(n), Unary());
            else
                return n;
        }
    }
    std::unique_ptr<ExprNode> Unary() {
        Depth depth(*this);
        if (Accept("-")) return Node(Op::Neg, Unary());
        if (Accept("+")) return Unary();
        if (Accept("!")) return Node(Op::Not, Unary());
        return Postfix();
    }
    std::unique_ptr<ExprNode> Postfix() {
        auto n = Primary();
        while (Accept(".")) {
            const std::string method = Identifier();
            Expect("(");
            Expect(")");
            if (method == "toString")
                n = Node(Op::ToString, std::move(n));
            else if (method == "toUpperCase")
                n = Node(Op::ToUpper, std::move(n));
            else
                Fail("method " + method + "()");
        }
        return n;
    }
    std::string Identifier() {
        SkipBlanks();
        const size_t start = pos_;
        while (pos_ < s_.size() &&
               (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
            ++pos_;
        if (start == pos_) Fail("expected a name");
        return s_.substr(start, pos_ - start);
    }

    std::unique_ptr<ExprNode> Primary() {
        SkipBlanks();
        if (pos_ >= s_.size()) Fail("unexpected end");
        const char c = s_[pos_];
        if (c == '(') {
            ++pos_;
            auto n = Conditional();
            Expect(")");
            return n;
        }
        if (c == '"' || c == '\'') return StringLiteral(c);
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') return NumberLiteral();
        if (c == '$') return Reference();
        if (std::isalpha(static_cast<unsigned char>(c))) {
            const size_t start = pos_;
            const std::string word = Identifier();
            auto n = Node(Op::Literal);
            if (word == "true")
                n->literal = true;
            else if (word == "false")
                n->literal = false;
            else if (word == "null")
                n->literal = engine::Null{};
            else {
                pos_ = start;
                Fail("\"" + word + "\"");
            }
            return n;
        }
        Fail("unexpected \"" + std::string(1, c) + "\"");
    }

    std::unique_ptr<ExprNode> StringLiteral(char quote) {
        ++pos_;
        std::string text;
        while (pos_ < s_.size() && s_[pos_] != quote) {
            char ch = s_[pos_++];
            if (ch == '\\') {
                if (pos_ >= s_.size()) break;
                const char e = s_[pos_++];
                switch (e) {
                case 'n':
                    ch = '\n';
                    break;
                case 't':
                    ch = '\t';
                    break;
                case 'r':
                    ch = '\r';
                    break;
                case '"':
                case '\'':
                case '\\':
                    ch = e;
                    break;
                default:
                    --pos_;
                    Fail("escape \\" + std::string(1, e));
                }
            }
            text += ch;
        }
        if (pos_ >= s_.size()) Fail("unterminated text");
        ++pos_;
        auto n = Node(Op::Literal);
        n->literal = std::move(text);
        return n;
    }

    std::unique_ptr<ExprNode> NumberLiteral() {
        const size_t start = pos_;
        bool real = false;
        while (pos_ < s_.size()) {
            const char ch = s_[pos_];
            if (std::isdigit(static_cast<unsigned char>(ch))) {
                ++pos_;
            } else if (ch == '.' && !real) {
                real = true;
                ++pos_;
            } else if ((ch == 'e' || ch == 'E') && pos_ > start) {
                real = true;
                ++pos_;
                if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            } else {
                break;
            }
        }
        const std::string digits = s_.substr(start, pos_ - start);
        // Java's type suffixes.
        if (pos_ < s_.size() && std::string_view("LlDdFf").find(s_[pos_]) != std::string::npos) {
            if (s_[pos_] != 'L' && s_[pos_] != 'l') real = true;
            ++pos_;
        }
        auto n = Node(Op::Literal);
        if (!real) {
            std::int64_t v = 0;
            const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
            if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) {
                pos_ = start;
                Fail("number out of range");
            }
            n->literal = v;
        } else {
            double v = 0;
            const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
            if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) {
                pos_ = start;
                Fail("malformed number");
            }
            n->literal = v;
        }
        return n;
    }

    std::unique_ptr<ExprNode> Reference() {
        const size_t start = pos_;
        if (pos_ + 2 >= s_.size() || s_[pos_ + 2] != '{') Fail("expected $F{, $P{ or $V{");
        auto n = Node(Op::Ref);
        switch (s_[pos_ + 1]) {
        case 'F':
            n->kind = RefKind::Field;
            break;
        case 'P':
            n->kind = RefKind::Parameter;
            break;
        case 'V':
            n->kind = RefKind::Variable;
            break;
        default:
            Fail("expected $F{, $P{ or $V{");
        }
        pos_ += 3;
        const size_t close = s_.find('}', pos_);
        if (close == std::string::npos || close == pos_) {
            pos_ = start;
            Fail("unterminated reference");
        }
        n->name = s_.substr(pos_, close - pos_);
        pos_ = close + 1;
        return n;
    }

    const std::string& s_;
    size_t pos_ = 0;
    int depth_ = 0;
    int nodes_ = 0;
};

[[noreturn]] void EvalFail(const std::string& what) {
    throw ExpressionError(what);
}

bool IsNumber(const Value& v) {
    return std::holds_alternative<std::int64_t>(v) || std::holds_alternative<double>(v);
}
double AsDouble(const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    return std::get<double>(v);
}

const char* TypeName(const Value& v) {
    switch (v.index()) {
    case 0:
        return "null";
    case 1:
        return "a Boolean";
    case 2:
    case 3:
        return "a number";
    case 4:
        return "a String";
    case 5:
        return "a Date";
    default:
        return "binary data";
    }
}

Value Arithmetic(Op op, const Value& a, const Value& b) {
    if (op == Op::Add &&
        (std::holds_alternative<std::string>(a) || std::holds_alternative<std::string>(b)))
        return JavaText(a) + JavaText(b);
    if (engine::IsNull(a) || engine::IsNull(b)) return engine::Null{};
    if (!IsNumber(a) || !IsNumber(b))
        EvalFail(std::string("Cannot apply an arithmetic operator to ") + TypeName(a) + " and " +
                 TypeName(b));
    const auto* ia = std::get_if<std::int64_t>(&a);
    const auto* ib = std::get_if<std::int64_t>(&b);
    if (ia && ib) {
        std::int64_t r = 0;
        bool overflow = false;
        switch (op) {
        case Op::Add:
            overflow = __builtin_add_overflow(*ia, *ib, &r);
            break;
        case Op::Sub:
            overflow = __builtin_sub_overflow(*ia, *ib, &r);
            break;
        case Op::Mul:
            overflow = __builtin_mul_overflow(*ia, *ib, &r);
            break;
        default:
            if (*ib == 0) EvalFail("Division by zero");
            if (*ia == INT64_MIN && *ib == -1)
                overflow = true;
            else
                r = *ia / *ib;
        }
        if (!overflow) return r;
    }
    const double x = AsDouble(a), y = AsDouble(b);
    switch (op) {
    case Op::Add:
        return x + y;
    case Op::Sub:
        return x - y;
    case Op::Mul:
        return x * y;
    default:
        return x / y;
    }
}

// <0, 0, >0; throws for values that have no order between them.
int Compare(const Value& a, const Value& b) {
    if (IsNumber(a) && IsNumber(b)) {
        const auto* ia = std::get_if<std::int64_t>(&a);
        const auto* ib = std::get_if<std::int64_t>(&b);
        if (ia && ib) return *ia < *ib ? -1 : *ia > *ib;
        const double x = AsDouble(a), y = AsDouble(b);
        return x < y ? -1 : x > y;
    }
    if (a.index() == b.index()) {
        if (const auto* s = std::get_if<std::string>(&a))
            return s->compare(std::get<std::string>(b));
        if (const auto* d = std::get_if<engine::DateTime>(&a)) {
            const auto& e = std::get<engine::DateTime>(b);
            const auto ka = std::tie(d->year, d->month, d->day, d->hour, d->minute, d->second);
            const auto kb = std::tie(e.year, e.month, e.day, e.hour, e.minute, e.second);
            return ka < kb ? -1 : ka > kb;
        }
        if (const auto* x = std::get_if<bool>(&a)) return int(*x) - int(std::get<bool>(b));
    }
    EvalFail(std::string("Cannot compare ") + TypeName(a) + " with " + TypeName(b));
}

bool Equal(const Value& a, const Value& b) {
    if (engine::IsNull(a) || engine::IsNull(b)) return engine::IsNull(a) && engine::IsNull(b);
    if (IsNumber(a) != IsNumber(b) || (!IsNumber(a) && a.index() != b.index())) return false;
    return Compare(a, b) == 0;
}

bool Truth(const Value& v) {
    if (const auto* b = std::get_if<bool>(&v)) return *b;
    if (engine::IsNull(v)) return false;
    EvalFail(std::string("A condition must be a Boolean, not ") + TypeName(v));
}

using Lookup = std::function<const Value&(RefKind, int)>;

Value Eval(const ExprNode& n, const Lookup& lookup) {
    switch (n.op) {
    case Op::Literal:
        return n.literal;
    case Op::Ref:
        return lookup(n.kind, n.slot);
    case Op::Neg: {
        const Value v = Eval(*n.a, lookup);
        if (engine::IsNull(v)) return v;
        if (const auto* i = std::get_if<std::int64_t>(&v))
            return *i == INT64_MIN ? Value(-static_cast<double>(*i)) : Value(-*i);
        if (const auto* d = std::get_if<double>(&v)) return -*d;
        EvalFail(std::string("Cannot negate ") + TypeName(v));
    }
    case Op::Not:
        return !Truth(Eval(*n.a, lookup));
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
    case Op::Div:
        return Arithmetic(n.op, Eval(*n.a, lookup), Eval(*n.b, lookup));
    case Op::Eq:
        return Equal(Eval(*n.a, lookup), Eval(*n.b, lookup));
    case Op::Ne:
        return !Equal(Eval(*n.a, lookup), Eval(*n.b, lookup));
    case Op::Lt:
    case Op::Le:
    case Op::Gt:
    case Op::Ge: {
        const Value a = Eval(*n.a, lookup), b = Eval(*n.b, lookup);
        if (engine::IsNull(a) || engine::IsNull(b)) return false;
        const int c = Compare(a, b);
        return n.op == Op::Lt ? c < 0 : n.op == Op::Le ? c <= 0 : n.op == Op::Gt ? c > 0 : c >= 0;
    }
    case Op::And:
        return Truth(Eval(*n.a, lookup)) && Truth(Eval(*n.b, lookup));
    case Op::Or:
        return Truth(Eval(*n.a, lookup)) || Truth(Eval(*n.b, lookup));
    case Op::Cond:
        return Truth(Eval(*n.a, lookup)) ? Eval(*n.b, lookup) : Eval(*n.c, lookup);
    case Op::ToString:
        return JavaText(Eval(*n.a, lookup));
    case Op::ToUpper: {
        const Value v = Eval(*n.a, lookup);
        const auto* s = std::get_if<std::string>(&v);
        if (s == nullptr) EvalFail(std::string("toUpperCase() needs a String, not ") + TypeName(v));
        return QString::fromStdString(*s).toUpper().toStdString();
    }
    }
    return engine::Null{};
}

void Visit(const ExprNode* n, const std::function<void(const ExprNode&)>& f) {
    if (n == nullptr) return;
    f(*n);
    Visit(n->a.get(), f);
    Visit(n->b.get(), f);
    Visit(n->c.get(), f);
}

void VisitMutable(ExprNode* n, const std::function<void(ExprNode&)>& f) {
    if (n == nullptr) return;
    f(*n);
    VisitMutable(n->a.get(), f);
    VisitMutable(n->b.get(), f);
    VisitMutable(n->c.get(), f);
}

std::string DoubleText(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
    char buf[64];
    const double mag = std::fabs(d);
    if (mag >= 1e-3 && mag < 1e7) {
        const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
        std::string s(buf, r.ptr);
        if (s.find('.') == std::string::npos) s += ".0";
        return s;
    }
    // Java's computerized scientific notation: 1.0E7, 1.234E-5.
    const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string s(buf, r.ptr);
    const size_t e = s.find('e');
    std::string mantissa = s.substr(0, e);
    if (mantissa.find('.') == std::string::npos) mantissa += ".0";
    int exponent = std::atoi(s.c_str() + e + 1);
    return mantissa + "E" + std::to_string(exponent);
}

} // namespace

Expression::Expression() = default;
Expression::~Expression() = default;
Expression::Expression(const Expression&) = default;
Expression& Expression::operator=(const Expression&) = default;
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;

Expression Expression::Parse(const std::string& text) {
    Expression e;
    e.text_ = text;
    bool blank = true;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) blank = false;
    if (!blank) e.root_ = Parser(e.text_).Whole();
    return e;
}

void Expression::ForEachReference(
    const std::function<void(RefKind, const std::string&)>& visit) const {
    Visit(root_.get(), [&](const ExprNode& n) {
        if (n.op == Op::Ref) visit(n.kind, n.name);
    });
}

void Expression::Bind(const std::function<int(RefKind, const std::string&)>& slotOf) {
    VisitMutable(root_.get(), [&](ExprNode& n) {
        if (n.op == Op::Ref) n.slot = slotOf(n.kind, n.name);
    });
}

Value Expression::Evaluate(const Lookup& lookup) const {
    if (root_ == nullptr) return engine::Null{};
    return Eval(*root_, lookup);
}

std::string JavaText(const Value& value) {
    switch (value.index()) {
    case 0:
        return "null";
    case 1:
        return std::get<bool>(value) ? "true" : "false";
    case 2:
        return std::to_string(std::get<std::int64_t>(value));
    case 3:
        return DoubleText(std::get<double>(value));
    case 4:
        return std::get<std::string>(value);
    case 5: {
        const auto& d = std::get<engine::DateTime>(value);
        char buf[40];
        if (d.hour == 0 && d.minute == 0 && d.second == 0)
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
        else
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day,
                          d.hour, d.minute, d.second);
        return buf;
    }
    default:
        return "[binary]";
    }
}

} // namespace printengine
