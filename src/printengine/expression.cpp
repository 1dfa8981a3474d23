#include "printengine/expression.h"

#include "engine/convert.h"
#include "printengine/bundle.h"

#include <QString>

#include "printengine/format.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

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
    Mod,
    Cond,
    Method,     // a.name(args)
    Static,     // Class.name(args), name "Class.name"
    Function,   // NAME(args): JasperReports' built-in functions
    New,        // new Class(args)
    Cast,       // (Class) a
    InstanceOf, // a instanceof Class
    Index,      // a[b]
    Missing,    // $R{name} of a key the bundle lacks, when that is an error
};

struct ExprNode {
    Op op = Op::Literal;
    Value literal;
    RefKind kind = RefKind::Field;
    std::string name;
    int slot = -1;
    std::unique_ptr<ExprNode> a, b, c;
    std::vector<std::unique_ptr<ExprNode>> args;
    // A parameter read through REPORT_PARAMETERS_MAP: a name the report
    // does not declare reads null rather than being refused.
    bool optional = false;
    bool onLocale = false; // a method of a Locale (a.name(args))
};

namespace {

// ---- names the language knows ---------------------------------------------------

bool InList(const std::string& name, std::initializer_list<const char*> list) {
    for (const char* n : list)
        if (name == n) return true;
    return false;
}

// java.lang.Integer -> Integer; primitive types as their classes.
std::string ShortClass(const std::string& name) {
    for (const char* package :
         {"java.lang.", "java.math.", "java.util.", "java.text.", "java.sql."})
        if (name.rfind(package, 0) == 0 &&
            name.find('.', std::strlen(package)) == std::string::npos)
            return name.substr(std::strlen(package));
    if (name == "int") return "Integer";
    if (name == "long") return "Long";
    if (name == "double") return "Double";
    if (name == "float") return "Float";
    if (name == "boolean") return "Boolean";
    if (name == "short") return "Short";
    if (name == "byte") return "Byte";
    return name;
}

bool IsClass(const std::string& name) {
    return InList(name, {"String", "Integer", "Long", "Short", "Byte", "Double", "Float", "Number",
                         "BigDecimal", "BigInteger", "Boolean", "Date", "Timestamp", "Object",
                         "Comparable", "CharSequence"});
}

bool KnownMethod(const std::string& name) {
    return InList(name,
                  {// String
                   "substring", "equals", "equalsIgnoreCase", "contains", "startsWith", "endsWith",
                   "indexOf", "lastIndexOf", "replace", "replaceAll", "replaceFirst", "split",
                   "trim", "length", "isEmpty", "toLowerCase", "toUpperCase", "charAt", "concat",
                   "matches", "compareTo", "compareToIgnoreCase", "toString", "format",
                   // numbers and BigDecimal
                   "intValue", "longValue", "shortValue", "byteValue", "doubleValue", "floatValue",
                   "add", "subtract", "multiply", "divide", "setScale", "abs", "negate", "signum",
                   "toPlainString", "booleanValue",
                   // Date
                   "getTime", "before", "after", "getYear", "getMonth", "getDate", "getDay",
                   "getHours", "getMinutes", "getSeconds"});
}

bool KnownStatic(const std::string& name) {
    return InList(name, {"String.valueOf",
                         "String.format",
                         "Integer.valueOf",
                         "Integer.parseInt",
                         "Integer.toString",
                         "Long.valueOf",
                         "Long.parseLong",
                         "Long.toString",
                         "Short.valueOf",
                         "Short.parseShort",
                         "Double.valueOf",
                         "Double.parseDouble",
                         "Double.toString",
                         "Float.valueOf",
                         "Float.parseFloat",
                         "Boolean.valueOf",
                         "Boolean.parseBoolean",
                         "BigDecimal.valueOf",
                         "Math.abs",
                         "Math.round",
                         "Math.floor",
                         "Math.ceil",
                         "Math.max",
                         "Math.min",
                         "Math.pow",
                         "Math.sqrt"});
}

bool KnownFunction(const std::string& name) {
    return InList(name, {"DATEFORMAT", "NOW",  "TODAY", "IF",     "CONCATENATE", "LEN",   "UPPER",
                         "LOWER",      "TRIM", "SUM",   "ROUND",  "ABS",         "TEXT",  "msg",
                         "ISNULL",     "LEFT", "RIGHT", "MID",    "YEAR",        "MONTH", "DAY",
                         "DATE",       "NOT",  "AND",   "OR",     "MOD",         "FLOOR", "CEIL",
                         "SQRT",       "MAX",  "MIN",   "EQUALS", "str"});
}

bool KnownLocaleMethod(const std::string& name) {
    return InList(name, {"toString", "getLanguage", "getCountry", "getVariant", "getDisplayName",
                         "getDisplayLanguage", "getDisplayCountry", "equals"});
}

// The report's locale, or a Locale made on the spot.
bool IsLocale(const ExprNode& n) {
    return (n.op == Op::Ref && n.kind == RefKind::Parameter && n.name == "REPORT_LOCALE") ||
           (n.op == Op::New && n.name == "Locale");
}

bool IsParametersMap(const ExprNode& n) {
    return n.op == Op::Ref && n.kind == RefKind::Parameter && n.name == "REPORT_PARAMETERS_MAP";
}

bool KnownConstructor(const std::string& name) {
    return InList(name,
                  {"Date", "Timestamp", "SimpleDateFormat", "DecimalFormat", "BigDecimal",
                   "Integer", "Long", "Short", "Double", "Float", "String", "Boolean", "Locale"});
}

// Java's rounding modes, by their legacy BigDecimal numbers.
enum Rounding { Up, Down, Ceiling, Floor, HalfUp, HalfDown, HalfEven, Unnecessary };

std::optional<Value> Constant(const std::string& name) {
    static const std::pair<const char*, Value> constants[] = {
        {"Boolean.TRUE", true},
        {"Boolean.FALSE", false},
        {"Integer.MAX_VALUE", std::int64_t{2147483647}},
        {"Integer.MIN_VALUE", std::int64_t{-2147483648LL}},
        {"Long.MAX_VALUE", std::int64_t{INT64_MAX}},
        {"Long.MIN_VALUE", std::int64_t{INT64_MIN}},
        {"Short.MAX_VALUE", std::int64_t{32767}},
        {"Short.MIN_VALUE", std::int64_t{-32768}},
        {"Double.MAX_VALUE", 1.7976931348623157e308},
        {"Double.MIN_VALUE", 4.9e-324},
        {"Math.PI", 3.141592653589793},
        {"Math.E", 2.718281828459045},
        {"BigDecimal.ZERO", 0.0},
        {"BigDecimal.ONE", 1.0},
        {"BigDecimal.TEN", 10.0},
        {"BigDecimal.ROUND_UP", std::int64_t{Up}},
        {"BigDecimal.ROUND_DOWN", std::int64_t{Down}},
        {"BigDecimal.ROUND_CEILING", std::int64_t{Ceiling}},
        {"BigDecimal.ROUND_FLOOR", std::int64_t{Floor}},
        {"BigDecimal.ROUND_HALF_UP", std::int64_t{HalfUp}},
        {"BigDecimal.ROUND_HALF_DOWN", std::int64_t{HalfDown}},
        {"BigDecimal.ROUND_HALF_EVEN", std::int64_t{HalfEven}},
        {"BigDecimal.ROUND_UNNECESSARY", std::int64_t{Unnecessary}},
        {"RoundingMode.UP", std::int64_t{Up}},
        {"RoundingMode.DOWN", std::int64_t{Down}},
        {"RoundingMode.CEILING", std::int64_t{Ceiling}},
        {"RoundingMode.FLOOR", std::int64_t{Floor}},
        {"RoundingMode.HALF_UP", std::int64_t{HalfUp}},
        {"RoundingMode.HALF_DOWN", std::int64_t{HalfDown}},
        {"RoundingMode.HALF_EVEN", std::int64_t{HalfEven}},
        {"RoundingMode.UNNECESSARY", std::int64_t{Unnecessary}},
    };
    std::string key = name;
    if (key.rfind("java.math.", 0) == 0) key = key.substr(10);
    for (const auto& [n, v] : constants)
        if (key == n) return v;
    return std::nullopt;
}

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
    Parser(const std::string& text, const MessageBundle* messages)
        : s_(text), messages_(messages) {}

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
    bool AcceptWord(std::string_view word) {
        SkipBlanks();
        if (s_.compare(pos_, word.size(), word) != 0) return false;
        const size_t end = pos_ + word.size();
        if (end < s_.size() &&
            (std::isalnum(static_cast<unsigned char>(s_[end])) || s_[end] == '_'))
            return false;
        pos_ = end;
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
            else if (AcceptWord("instanceof")) {
                const std::string cls = ShortClass(DottedName());
                if (!IsClass(cls)) Fail("instanceof needs a class name");
                n = Node(Op::InstanceOf, std::move(n));
                n->name = cls;
            } else
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
            else if (Accept("%"))
                n = Node(Op::Mod, std::move(n), Unary());
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
        for (;;) {
            if (Accept("[")) {
                auto index = Node(Op::Index, std::move(n), Conditional());
                Expect("]");
                n = std::move(index);
                continue;
            }
            if (!Accept(".")) return n;
            const size_t at = pos_;
            const std::string method = Identifier();
            if (method == "get" && IsParametersMap(*n)) {
                n = ParameterByName();
                continue;
            }
            const bool onLocale = IsLocale(*n) && KnownLocaleMethod(method);
            if (!onLocale && !KnownMethod(method)) {
                pos_ = at;
                Fail("the method " + method + "()");
            }
            SkipBlanks();
            if (pos_ >= s_.size() || s_[pos_] != '(') {
                pos_ = at;
                Fail("the member " + method + " (only method calls)");
            }
            auto call = Node(Op::Method, std::move(n));
            call->name = method;
            call->onLocale = onLocale;
            Arguments(*call);
            n = std::move(call);
        }
    }

    // REPORT_PARAMETERS_MAP.get("NAME"): the parameter NAME.
    std::unique_ptr<ExprNode> ParameterByName() {
        const size_t at = pos_;
        ExprNode call;
        Arguments(call);
        const std::string* name = call.args.size() == 1 && call.args[0]->op == Op::Literal
                                      ? std::get_if<std::string>(&call.args[0]->literal)
                                      : nullptr;
        if (name == nullptr) {
            pos_ = at;
            Fail("REPORT_PARAMETERS_MAP.get() with anything but a parameter's name in quotes");
        }
        auto n = Node(Op::Ref);
        n->kind = RefKind::Parameter;
        n->name = *name;
        n->optional = true;
        return n;
    }

    // What the bundle says for `key`, or what a missing key gives.
    std::unique_ptr<ExprNode> Message(const std::string& key) {
        if (messages_ != nullptr)
            if (const std::string* text = messages_->Find(key)) {
                auto n = Node(Op::Literal);
                n->literal = *text;
                return n;
            }
        using Missing = MessageBundle::Missing;
        const Missing missing = messages_ != nullptr ? messages_->missing : Missing::Null;
        if (missing == Missing::Error) {
            auto n = Node(Op::Missing);
            n->name = key;
            return n;
        }
        auto n = Node(Op::Literal);
        if (missing == Missing::Null)
            n->literal = engine::Null{};
        else
            n->literal = missing == Missing::Key ? key : std::string();
        return n;
    }

    // "(" [expression {"," expression}] ")" into n.args.
    void Arguments(ExprNode& n) {
        Expect("(");
        if (Accept(")")) return;
        for (;;) {
            n.args.push_back(Conditional());
            if (n.args.size() > 64) Fail("too many arguments");
            if (Accept(")")) return;
            Expect(",");
        }
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

    // A dotted name (java.util.Date, Integer.MAX_VALUE); empty when none.
    std::string DottedName() {
        std::string name;
        for (;;) {
            SkipBlanks();
            const size_t start = pos_;
            if (pos_ >= s_.size() || !std::isalpha(static_cast<unsigned char>(s_[pos_]))) {
                pos_ = start;
                return name;
            }
            const std::string part = Identifier();
            name += name.empty() ? part : "." + part;
            const size_t dot = pos_;
            SkipBlanks();
            if (pos_ < s_.size() && s_[pos_] == '.' && pos_ + 1 < s_.size() &&
                std::isalpha(static_cast<unsigned char>(s_[pos_ + 1]))) {
                ++pos_;
                continue;
            }
            pos_ = dot;
            return name;
        }
    }

    // "(Class) operand": a cast when the parenthesis holds a class name and
    // an operand follows it.
    std::unique_ptr<ExprNode> MaybeCast() {
        const size_t open = pos_;
        ++pos_;
        const std::string name = ShortClass(DottedName());
        SkipBlanks();
        if (!name.empty() && IsClass(name) && pos_ < s_.size() && s_[pos_] == ')') {
            size_t next = pos_ + 1;
            while (next < s_.size() && std::isspace(static_cast<unsigned char>(s_[next])))
                ++next;
            if (next < s_.size() &&
                (s_[next] == '$' || s_[next] == '(' || s_[next] == '"' || s_[next] == '\'' ||
                 std::isalnum(static_cast<unsigned char>(s_[next])))) {
                pos_ = next;
                auto n = Node(Op::Cast, Unary());
                n->name = name;
                return n;
            }
        }
        pos_ = open + 1;
        auto n = Conditional();
        Expect(")");
        return n;
    }

    std::unique_ptr<ExprNode> Primary() {
        SkipBlanks();
        if (pos_ >= s_.size()) Fail("unexpected end");
        const char c = s_[pos_];
        if (c == '(') return MaybeCast();
        if (c == '"' || c == '\'') return StringLiteral(c);
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') return NumberLiteral();
        if (c == '$') return Reference();
        if (std::isalpha(static_cast<unsigned char>(c))) {
            const size_t start = pos_;
            const std::string word = DottedName();
            if (word == "true" || word == "false" || word == "null") {
                auto n = Node(Op::Literal);
                if (word == "null")
                    n->literal = engine::Null{};
                else
                    n->literal = word == "true";
                return n;
            }
            if (word == "new") return Construct();
            SkipBlanks();
            const bool call = pos_ < s_.size() && s_[pos_] == '(';
            const size_t dot = word.rfind('.');
            if (call && dot == std::string::npos) {
                if (!KnownFunction(word)) {
                    pos_ = start;
                    Fail("the function " + word + "()");
                }
                auto n = Node(Op::Function);
                n->name = word;
                Arguments(*n);
                if (word == "str") {
                    // The bundle is read when the report is: the key must be known then.
                    const std::string* key = n->args.size() == 1 && n->args[0]->op == Op::Literal
                                                 ? std::get_if<std::string>(&n->args[0]->literal)
                                                 : nullptr;
                    if (key == nullptr) {
                        pos_ = start;
                        Fail("str() with anything but a key in quotes");
                    }
                    return Message(*key);
                }
                return n;
            }
            if (dot != std::string::npos) {
                const std::string cls = ShortClass(word.substr(0, dot));
                const std::string member = cls + "." + word.substr(dot + 1);
                if (call) {
                    if (!KnownStatic(member)) {
                        pos_ = start;
                        Fail("the method " + word + "()");
                    }
                    auto n = Node(Op::Static);
                    n->name = member;
                    Arguments(*n);
                    return n;
                }
                if (auto constant = Constant(member)) {
                    auto n = Node(Op::Literal);
                    n->literal = *constant;
                    return n;
                }
            }
            pos_ = start;
            Fail("\"" + word + "\"");
        }
        Fail("unexpected \"" + std::string(1, c) + "\"");
    }

    std::unique_ptr<ExprNode> Construct() {
        const size_t at = pos_;
        const std::string written = DottedName();
        const std::string cls = ShortClass(written);
        if (!KnownConstructor(cls)) {
            pos_ = at;
            Fail("the class " + (written.empty() ? std::string("?") : written) + " after new");
        }
        auto n = Node(Op::New);
        n->name = cls;
        Arguments(*n);
        return n;
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
                case 'b':
                    ch = '\b';
                    break;
                case 'f':
                    ch = '\f';
                    break;
                case 'u': {
                    // Java's \uXXXX, written out as UTF-8 (pairs of surrogates joined).
                    unsigned code = 0;
                    if (!Hex4(code)) Fail("escape \\u");
                    if (code >= 0xD800 && code < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
                        const size_t keep = pos_;
                        pos_ += 2;
                        unsigned low = 0;
                        if (Hex4(low) && low >= 0xDC00 && low < 0xE000)
                            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        else
                            pos_ = keep;
                    }
                    text += QString::fromUcs4(reinterpret_cast<const char32_t*>(&code), 1)
                                .toStdString();
                    continue;
                }
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

    bool Hex4(unsigned& code) {
        if (pos_ + 4 > s_.size()) return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = s_[pos_ + size_t(i)];
            if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
            code =
                code * 16 + unsigned(std::isdigit(static_cast<unsigned char>(h))
                                         ? h - '0'
                                         : std::tolower(static_cast<unsigned char>(h)) - 'a' + 10);
        }
        pos_ += 4;
        return true;
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
        if (pos_ + 2 >= s_.size() || s_[pos_ + 2] != '{') Fail("expected $F{, $P{, $V{ or $R{");
        if (s_[pos_ + 1] == 'R') {
            const size_t close = s_.find('}', pos_ + 3);
            if (close == std::string::npos || close == pos_ + 3) Fail("unterminated reference");
            const std::string key = s_.substr(pos_ + 3, close - pos_ - 3);
            pos_ = close + 1;
            return Message(key);
        }
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
            Fail("expected $F{, $P{, $V{ or $R{");
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
    const MessageBundle* messages_;
    size_t pos_ = 0;
    int depth_ = 0;
    int nodes_ = 0;
};

[[noreturn]] void EvalFail(const std::string& what) {
    throw ExpressionError(what);
}

bool IsNumber(const Value& v) {
    return std::holds_alternative<std::int64_t>(v) || std::holds_alternative<double>(v) ||
           std::holds_alternative<engine::Currency>(v);
}
double AsDouble(const Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    if (const auto* c = std::get_if<engine::Currency>(&v)) return engine::CurrencyToDouble(*c);
    return std::get<double>(v);
}

// Money and whole numbers as ten-thousandths, for exact sums and comparisons
// of money; nothing for other values and whole numbers beyond Currency.
std::optional<std::int64_t> MoneyUnits(const Value& v) {
    if (const auto* c = std::get_if<engine::Currency>(&v)) return c->units;
    std::int64_t units = 0;
    if (const auto* i = std::get_if<std::int64_t>(&v);
        i && !__builtin_mul_overflow(*i, 10000, &units))
        return units;
    return std::nullopt;
}

const char* TypeName(const Value& v) {
    switch (v.index()) {
    case 0:
        return "null";
    case 1:
        return "a Boolean";
    case 2:
    case 3:
    case 7:
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
                r = op == Op::Mod ? *ia % *ib : *ia / *ib;
        }
        if (!overflow) return r;
    }
    // Money added to or taken from money (or a whole number) stays exact,
    // as with Java's BigDecimal.
    const bool money =
        std::holds_alternative<engine::Currency>(a) || std::holds_alternative<engine::Currency>(b);
    if (money && (op == Op::Add || op == Op::Sub)) {
        const auto ua = MoneyUnits(a), ub = MoneyUnits(b);
        std::int64_t r = 0;
        if (ua && ub &&
            !(op == Op::Add ? __builtin_add_overflow(*ua, *ub, &r)
                            : __builtin_sub_overflow(*ua, *ub, &r)))
            return engine::Currency{r};
    }
    const double x = AsDouble(a), y = AsDouble(b);
    switch (op) {
    case Op::Add:
        return x + y;
    case Op::Sub:
        return x - y;
    case Op::Mul:
        return x * y;
    case Op::Mod:
        return std::fmod(x, y);
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
        const auto ua = MoneyUnits(a), ub = MoneyUnits(b);
        if (ua && ub) return *ua < *ub ? -1 : *ua > *ub;
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

// ---- calls ------------------------------------------------------------------------

using Lookup = std::function<const Value&(RefKind, int)>;
Value Eval(const ExprNode& n, const Lookup& lookup);

std::vector<Value> Args(const ExprNode& n, const Lookup& lookup) {
    std::vector<Value> out;
    out.reserve(n.args.size());
    for (const auto& a : n.args)
        out.push_back(Eval(*a, lookup));
    return out;
}

void Arity(const ExprNode& n, size_t least, size_t most) {
    if (n.args.size() < least || n.args.size() > most)
        EvalFail(n.name + "() does not take " + std::to_string(n.args.size()) + " arguments");
}

double Num(const Value& v, const std::string& in) {
    if (!IsNumber(v)) EvalFail(in + " needs a number, not " + TypeName(v));
    return AsDouble(v);
}

std::int64_t Whole(const Value& v, const std::string& in) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
    const double d = Num(v, in);
    if (!(d > -9.2e18 && d < 9.2e18)) EvalFail(in + ": the number is out of range");
    return static_cast<std::int64_t>(d);
}

const std::string& Str(const Value& v, const std::string& in) {
    const auto* s = std::get_if<std::string>(&v);
    if (s == nullptr) EvalFail(in + " needs a String, not " + TypeName(v));
    return *s;
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
std::string S(const QString& s) {
    return s.toStdString();
}

QDateTime ToQt(const engine::DateTime& d) {
    return QDateTime(QDate(d.year, d.month, d.day), QTime(d.hour, d.minute, d.second));
}
engine::DateTime FromQt(const QDateTime& t) {
    const QDate d = t.date();
    const QTime h = t.time();
    return engine::DateTime{d.year(), d.month(), d.day(), h.hour(), h.minute(), h.second()};
}
const engine::DateTime& DateOf(const Value& v, const std::string& in) {
    const auto* d = std::get_if<engine::DateTime>(&v);
    if (d == nullptr) EvalFail(in + " needs a Date, not " + TypeName(v));
    return *d;
}

double RoundTo(double v, std::int64_t scale, std::int64_t mode) {
    if (scale < -300 || scale > 300) EvalFail("a scale of " + std::to_string(scale));
    const double f = std::pow(10.0, double(scale));
    double x = v * f;
    // The decimal the double stands for: 2.675 is meant, not 2.67499999...
    const double nudge = std::fabs(x) * 1e-12;
    const double floorX = std::floor(x), frac = x - floorX;
    const bool neg = x < 0;
    switch (mode) {
    case Up:
        x = neg ? std::floor(x + nudge) : std::ceil(x - nudge);
        break;
    case Down:
        x = std::trunc(x + (neg ? -nudge : nudge));
        break;
    case Ceiling:
        x = std::ceil(x - nudge);
        break;
    case Floor:
        x = std::floor(x + nudge);
        break;
    case HalfDown:
        x = std::fabs(frac - 0.5) <= nudge ? (neg ? floorX + 1 : floorX) : std::round(x);
        if (neg && std::fabs(frac - 0.5) <= nudge) x = floorX + 1;
        break;
    case HalfEven:
        if (std::fabs(frac - 0.5) <= nudge)
            x = std::fmod(floorX, 2.0) == 0 ? floorX : floorX + 1;
        else
            x = std::round(x);
        break;
    case Unnecessary:
        if (std::fabs(x - std::round(x)) > nudge + 1e-9) EvalFail("Rounding necessary");
        x = std::round(x);
        break;
    default: // HalfUp, away from zero at the half
        x = std::fabs(frac - 0.5) <= nudge ? (neg ? floorX : floorX + 1) : std::round(x);
    }
    return x / f;
}

// Java's Formatter for the common conversions: %s %d %f %e %x %c %b %n %%,
// with argument indexes, the flags - 0 + , ( and a blank, width and precision.
// Long on purpose: one pass over the format with the conversion table in one
// place, as Java documents it, reads better than pieces that share its state.
std::string JavaFormat(const std::string& format, const std::vector<Value>& args, size_t first) {
    std::string out;
    size_t next = first;
    QLocale locale;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        size_t j = i + 1;
        size_t start = j;
        while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])))
            ++j;
        std::optional<size_t> index;
        if (j < format.size() && format[j] == '$' && j > start) {
            index = size_t(std::stoul(format.substr(start, j - start)));
            start = ++j;
        } else {
            j = start;
        }
        std::string flags;
        while (j < format.size() && std::strchr("-0+,( #", format[j]) != nullptr)
            flags += format[j++];
        int width = 0, precision = -1;
        while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])) &&
               width < 10000)
            width = width * 10 + (format[j++] - '0');
        if (j < format.size() && format[j] == '.') {
            precision = 0;
            ++j;
            while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])) &&
                   precision < 1000)
                precision = precision * 10 + (format[j++] - '0');
        }
        if (j >= format.size()) EvalFail("String.format: the format ends inside a conversion");
        const char conv = format[j];
        i = j;
        if (conv == '%') {
            out += '%';
            continue;
        }
        if (conv == 'n') {
            out += '\n';
            continue;
        }
        const size_t at = index ? first + *index - 1 : next++;
        if (at >= args.size() || (index && *index == 0))
            EvalFail("String.format: no argument for %" + std::string(1, conv));
        const Value& v = args[at];
        const auto has = [&](char f) { return flags.find(f) != std::string::npos; };
        QLocale numbers = locale;
        numbers.setNumberOptions(has(',') ? QLocale::DefaultNumberOptions
                                          : QLocale::OmitGroupSeparator);
        QString text;
        switch (std::tolower(static_cast<unsigned char>(conv))) {
        case 's':
            text = Q(JavaText(v));
            if (precision >= 0) text = text.left(precision);
            break;
        case 'b':
            text = engine::IsNull(v)                 ? "false"
                   : std::holds_alternative<bool>(v) ? Q(JavaText(v))
                                                     : "true";
            break;
        case 'c':
            text = Q(JavaText(v)).left(1);
            break;
        case 'd':
        case 'x':
        case 'o': {
            if (engine::IsNull(v)) {
                text = "null";
                break;
            }
            const auto* i = std::get_if<std::int64_t>(&v);
            if (i == nullptr)
                EvalFail(std::string("String.format: %") + conv + " needs a whole number, not " +
                         TypeName(v));
            if (conv == 'd')
                text = numbers.toString(qlonglong(std::llabs(*i)));
            else
                text = QString::number(qulonglong(*i), conv == 'o' ? 8 : 16);
            if (conv == 'd' && *i < 0)
                text = has('(') ? "(" + text + ")" : "-" + text;
            else if (conv == 'd' && has('+'))
                text = "+" + text;
            else if (conv == 'd' && has(' '))
                text = " " + text;
            break;
        }
        case 'f':
        case 'e': {
            if (engine::IsNull(v)) {
                text = "null";
                break;
            }
            const double d = Num(v, std::string("String.format: %") + std::string(1, conv) + " ");
            text = numbers.toString(std::fabs(d), conv == 'f' ? 'f' : 'e',
                                    precision < 0 ? 6 : precision);
            if (std::signbit(d) && d != 0)
                text = has('(') ? "(" + text + ")" : "-" + text;
            else if (has('+'))
                text = "+" + text;
            else if (has(' '))
                text = " " + text;
            break;
        }
        default:
            EvalFail(std::string("String.format: the conversion %") + conv);
        }
        if (std::isupper(static_cast<unsigned char>(conv))) text = text.toUpper();
        while (text.size() < width) {
            if (has('-'))
                text += ' ';
            else if (has('0') && !text.isEmpty() && (text[0] == '-' || text[0] == '+'))
                text.insert(1, '0');
            else
                text.insert(0, has('0') ? '0' : ' ');
        }
        out += S(text);
    }
    return out;
}

// A MessageFormat argument with its format type: {0,number,percent},
// {0,number,#0.0}, {0,date,yyyy}. False when it has none here.
bool FormatArgument(const Value& v, const std::string& inside, std::string& out) {
    const size_t first = inside.find(',');
    if (first == std::string::npos) return false;
    const size_t second = inside.find(',', first + 1);
    const QString type = Q(inside.substr(first + 1, second - first - 1)).trimmed();
    const std::string style = second == std::string::npos
                                  ? std::string()
                                  : Q(inside.substr(second + 1)).trimmed().toStdString();
    if (type == "number" && IsNumber(v) && style != "currency") {
        const std::string pattern = style.empty()        ? "#,##0.###"
                                    : style == "integer" ? "#,##0"
                                    : style == "percent" ? "#,##0%"
                                                         : style;
        out += S(FormatNumber(Num(v, "msg()"), pattern));
        return true;
    }
    const auto* d = std::get_if<engine::DateTime>(&v);
    if ((type != "date" && type != "time") || d == nullptr || style.empty() || style == "short" ||
        style == "medium" || style == "long" || style == "full")
        return false;
    out += S(FormatDate(*d, style));
    return true;
}

// MessageFormat for msg(): {0}, {1}, ... with '' for a quote and '...' quoting.
std::string MessageText(const std::string& pattern, const std::vector<Value>& args) {
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                out += '\'';
                ++i;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        if (quoted || c != '{') {
            out += c;
            continue;
        }
        const size_t close = pattern.find('}', i);
        if (close == std::string::npos) EvalFail("msg(): an unclosed { in the pattern");
        const std::string inside = pattern.substr(i + 1, close - i - 1);
        const std::string number = inside.substr(0, inside.find(','));
        size_t index = 0;
        const auto r = std::from_chars(number.data(), number.data() + number.size(), index);
        if (r.ec != std::errc() || r.ptr != number.data() + number.size())
            EvalFail("msg(): the argument {" + inside + "}");
        const size_t at = index + 1; // the pattern is the first argument
        if (at >= args.size()) {
            out += "{" + inside + "}";
        } else if (FormatArgument(args[at], inside, out)) {
        } else if (IsNumber(args[at])) {
            QLocale locale;
            const Value& v = args[at];
            out += std::holds_alternative<std::int64_t>(v)
                       ? S(locale.toString(qlonglong(std::get<std::int64_t>(v))))
                       : S(FormatNumber(std::get<double>(v), "#,##0.###"));
        } else if (const auto* d = std::get_if<engine::DateTime>(&args[at])) {
            out += S(QLocale().toString(ToQt(*d), QLocale::ShortFormat));
        } else {
            out += JavaText(args[at]);
        }
        i = close;
    }
    return out;
}

// Java's regular-expression replacement: $1 names a group, \ quotes the next character.
std::string ReplaceRegex(const std::string& text, const std::string& pattern,
                         const std::string& replacement, bool all) {
    const QRegularExpression re(Q(pattern));
    if (!re.isValid()) EvalFail("the regular expression \"" + pattern + "\" is not valid");
    const QString subject = Q(text);
    const QString with = Q(replacement);
    QString out;
    qsizetype last = 0;
    auto it = re.globalMatch(subject);
    while (it.hasNext()) {
        const auto m = it.next();
        out += subject.mid(last, m.capturedStart() - last);
        for (qsizetype k = 0; k < with.size(); ++k) {
            const QChar c = with[k];
            if (c == '\\' && k + 1 < with.size()) {
                out += with[++k];
            } else if (c == '$' && k + 1 < with.size() && with[k + 1].isDigit()) {
                const int group = with[++k].digitValue();
                if (group > re.captureCount())
                    EvalFail("the replacement names group " + std::to_string(group) +
                             ", which the expression does not have");
                out += m.captured(group);
            } else {
                out += c;
            }
        }
        last = m.capturedEnd();
        if (!all) break;
        if (m.capturedLength() == 0) {
            // An empty match moves on by one character, as Java's does.
            if (last < subject.size()) out += subject[last];
            ++last;
            while (it.hasNext() && it.peekNext().capturedStart() < last)
                it.next();
        }
    }
    if (last < subject.size()) out += subject.mid(last);
    return S(out);
}

std::vector<std::string> Split(const std::string& text, const std::string& pattern) {
    const QRegularExpression re(Q(pattern));
    if (!re.isValid()) EvalFail("the regular expression \"" + pattern + "\" is not valid");
    QStringList parts = Q(text).split(re);
    // Java drops trailing empty strings, and a leading one that a zero-width match made.
    while (parts.size() > 1 && parts.back().isEmpty())
        parts.removeLast();
    std::vector<std::string> out;
    for (const auto& p : parts)
        out.push_back(S(p));
    return out;
}

Value Now() {
    return FromQt(QDateTime::currentDateTime());
}

std::int64_t EpochMillis(const engine::DateTime& d) {
    return ToQt(d).toMSecsSinceEpoch();
}

int CompareValues(const Value& a, const Value& b, const std::string& in) {
    if (engine::IsNull(b)) EvalFail(in + "(null)");
    return Compare(a, b);
}

Value StringMethod(const ExprNode& n, const QString& s, const std::vector<Value>& a) {
    const std::string& m = n.name;
    const auto arg = [&](size_t i) { return Q(Str(a[i], m + "()")); };
    const auto index = [&](size_t i) {
        const std::int64_t v = Whole(a[i], m + "()");
        return v;
    };
    if (m == "substring") {
        Arity(n, 1, 2);
        const std::int64_t b = index(0), e = a.size() > 1 ? index(1) : s.size();
        if (b < 0 || e > s.size() || b > e)
            EvalFail("substring(" + std::to_string(b) + ", " + std::to_string(e) +
                     ") is outside a text of " + std::to_string(s.size()) + " characters");
        return S(s.mid(b, e - b));
    }
    if (m == "equals") {
        Arity(n, 1, 1);
        const auto* o = std::get_if<std::string>(&a[0]);
        return o != nullptr && Q(*o) == s;
    }
    if (m == "equalsIgnoreCase") {
        Arity(n, 1, 1);
        const auto* o = std::get_if<std::string>(&a[0]);
        return o != nullptr && Q(*o).compare(s, Qt::CaseInsensitive) == 0;
    }
    if (m == "contains") return Arity(n, 1, 1), s.contains(arg(0));
    if (m == "startsWith") return Arity(n, 1, 1), s.startsWith(arg(0));
    if (m == "endsWith") return Arity(n, 1, 1), s.endsWith(arg(0));
    if (m == "indexOf" || m == "lastIndexOf") {
        Arity(n, 1, 2);
        if (m == "indexOf")
            return std::int64_t(a.size() > 1 ? s.indexOf(arg(0), std::max<qint64>(0, index(1)))
                                             : s.indexOf(arg(0)));
        return std::int64_t(a.size() > 1 ? s.lastIndexOf(arg(0), index(1)) : s.lastIndexOf(arg(0)));
    }
    if (m == "replace") {
        Arity(n, 2, 2);
        return S(QString(s).replace(arg(0), arg(1)));
    }
    if (m == "replaceAll" || m == "replaceFirst") {
        Arity(n, 2, 2);
        return ReplaceRegex(S(s), Str(a[0], m + "()"), Str(a[1], m + "()"), m == "replaceAll");
    }
    if (m == "matches") {
        Arity(n, 1, 1);
        const QRegularExpression re(QRegularExpression::anchoredPattern(arg(0)));
        if (!re.isValid()) EvalFail("the regular expression \"" + S(arg(0)) + "\" is not valid");
        return re.match(s).hasMatch();
    }
    if (m == "trim") return Arity(n, 0, 0), S(s.trimmed());
    if (m == "length") return Arity(n, 0, 0), std::int64_t(s.size());
    if (m == "isEmpty") return Arity(n, 0, 0), s.isEmpty();
    if (m == "toLowerCase") return Arity(n, 0, 1), S(s.toLower());
    if (m == "toUpperCase") return Arity(n, 0, 1), S(s.toUpper());
    if (m == "charAt") {
        Arity(n, 1, 1);
        const std::int64_t i = index(0);
        if (i < 0 || i >= s.size())
            EvalFail("charAt(" + std::to_string(i) + ") is outside a text of " +
                     std::to_string(s.size()) + " characters");
        return S(QString(s[i]));
    }
    if (m == "concat") return Arity(n, 1, 1), S(s + arg(0));
    if (m == "compareTo") return Arity(n, 1, 1), std::int64_t(s.compare(arg(0)));
    if (m == "compareToIgnoreCase")
        return Arity(n, 1, 1), std::int64_t(s.compare(arg(0), Qt::CaseInsensitive));
    if (m == "toString") return Arity(n, 0, 0), S(s);
    EvalFail(m + "() is not a method of a String");
}

Value NumberMethod(const ExprNode& n, const Value& v, const std::vector<Value>& a) {
    const std::string& m = n.name;
    const double d = AsDouble(v);
    const auto num = [&](size_t i) { return Num(a[i], m + "()"); };
    if (m == "intValue" || m == "longValue" || m == "shortValue" || m == "byteValue")
        return Arity(n, 0, 0), Whole(v, m + "()");
    if (m == "doubleValue" || m == "floatValue") return Arity(n, 0, 0), d;
    if (m == "toString") return Arity(n, 0, 0), JavaText(v);
    if (m == "toPlainString") return Arity(n, 0, 0), S(QString::number(d, 'f', -1));
    if (m == "equals") return Arity(n, 1, 1), Equal(v, a[0]);
    if (m == "compareTo") return Arity(n, 1, 1), std::int64_t(CompareValues(v, a[0], m));
    if (m == "signum") return Arity(n, 0, 0), std::int64_t(d > 0 ? 1 : d < 0 ? -1 : 0);
    if (m == "abs")
        return Arity(n, 0, 1),
               std::holds_alternative<std::int64_t>(v) && std::get<std::int64_t>(v) != INT64_MIN
                   ? Value(std::llabs(std::get<std::int64_t>(v)))
                   : Value(std::fabs(d));
    if (m == "negate") return Arity(n, 0, 1), Arithmetic(Op::Sub, std::int64_t{0}, v);
    if (m == "add") return Arity(n, 1, 2), Value(d + num(0));
    if (m == "subtract") return Arity(n, 1, 2), Value(d - num(0));
    if (m == "multiply") return Arity(n, 1, 2), Value(d * num(0));
    if (m == "divide") {
        Arity(n, 1, 3);
        const double by = num(0);
        if (by == 0) EvalFail("Division by zero");
        const double q = d / by;
        if (a.size() == 3) return RoundTo(q, Whole(a[1], m), Whole(a[2], m));
        return q;
    }
    if (m == "setScale") {
        Arity(n, 1, 2);
        return RoundTo(d, Whole(a[0], m), a.size() > 1 ? Whole(a[1], m) : std::int64_t{HalfUp});
    }
    EvalFail(m + "() is not a method of a number");
}

Value DateMethod(const ExprNode& n, const engine::DateTime& d, const std::vector<Value>& a) {
    const std::string& m = n.name;
    if (m == "getTime") return Arity(n, 0, 0), EpochMillis(d);
    if (m == "before" || m == "after" || m == "compareTo") {
        Arity(n, 1, 1);
        const int c = Compare(d, Value(DateOf(a[0], m + "()")));
        return m == "before" ? Value(c < 0) : m == "after" ? Value(c > 0) : Value(std::int64_t(c));
    }
    if (m == "equals") return Arity(n, 1, 1), Equal(d, a[0]);
    if (m == "toString") return Arity(n, 0, 0), JavaText(d);
    if (m == "getYear") return Arity(n, 0, 0), std::int64_t(d.year - 1900);
    if (m == "getMonth") return Arity(n, 0, 0), std::int64_t(d.month - 1);
    if (m == "getDate") return Arity(n, 0, 0), std::int64_t(d.day);
    if (m == "getDay") return Arity(n, 0, 0), std::int64_t(ToQt(d).date().dayOfWeek() % 7);
    if (m == "getHours") return Arity(n, 0, 0), std::int64_t(d.hour);
    if (m == "getMinutes") return Arity(n, 0, 0), std::int64_t(d.minute);
    if (m == "getSeconds") return Arity(n, 0, 0), std::int64_t(d.second);
    EvalFail(m + "() is not a method of a Date");
}

// A Locale's Java name (de_DE): the report's locale is kept as its name.
std::string LocaleName(const ExprNode& n, const Lookup& lookup) {
    if (n.op != Op::New) {
        const Value v = Eval(n, lookup);
        if (engine::IsNull(v)) EvalFail("a method called on a null Locale");
        return JavaText(v);
    }
    const std::vector<Value> a = Args(n, lookup);
    Arity(n, 1, 3);
    std::string name = S(Q(Str(a[0], "new Locale()")).toLower());
    if (a.size() > 1) name += "_" + S(Q(Str(a[1], "new Locale()")).toUpper());
    if (a.size() > 2) name += "_" + Str(a[2], "new Locale()");
    return name;
}

// Java's display names come from its own tables; here from the locale data
// Qt carries: a locale's names in its own language, or in English.
std::string DisplayName(const QLocale& target, const std::string& which, const QLocale& in) {
    const bool english = in.language() == QLocale::English || in.language() == QLocale::C ||
                         target.language() == QLocale::English ||
                         in.language() != target.language();
    const QLocale plain(target.language());
    const QString language =
        english ? QLocale::languageToString(target.language()) : plain.nativeLanguageName();
    const QString country =
        english ? QLocale::territoryToString(target.territory()) : target.nativeTerritoryName();
    if (which == "getDisplayLanguage") return S(language);
    if (which == "getDisplayCountry") return S(country);
    return S(country.isEmpty() ? language : language + " (" + country + ")");
}

Value LocaleMethod(const ExprNode& n, const Lookup& lookup) {
    const std::string name = LocaleName(*n.a, lookup);
    const std::string& m = n.name;
    const size_t underscore = name.find('_');
    if (m == "toString") return Arity(n, 0, 0), name;
    if (m == "getLanguage") return Arity(n, 0, 0), name.substr(0, underscore);
    if (m == "getCountry" || m == "getVariant") {
        Arity(n, 0, 0);
        if (underscore == std::string::npos) return std::string();
        const std::string rest = name.substr(underscore + 1);
        const size_t second = rest.find('_');
        if (m == "getCountry") return rest.substr(0, second);
        return second == std::string::npos ? std::string() : rest.substr(second + 1);
    }
    if (m == "equals") {
        Arity(n, 1, 1);
        if (IsLocale(*n.args[0])) return LocaleName(*n.args[0], lookup) == name;
        return Equal(name, Eval(*n.args[0], lookup));
    }
    Arity(n, 0, 1);
    // Without an argument: in the default locale, which is the report's.
    const QLocale target(Q(name));
    const QLocale in = n.args.empty()         ? target
                       : IsLocale(*n.args[0]) ? QLocale(Q(LocaleName(*n.args[0], lookup)))
                                              : QLocale(Q(Str(Eval(*n.args[0], lookup), m + "()")));
    // A name Qt does not know is Java's too: its text as written.
    if (target.language() == QLocale::C) return m == "getDisplayName" ? name : std::string();
    return DisplayName(target, m, in);
}

Value CallMethod(const ExprNode& n, const Lookup& lookup) {
    if (n.onLocale) return LocaleMethod(n, lookup);
    // Formats are made to be used at once: new SimpleDateFormat(p).format(d).
    if (n.a->op == Op::New && (n.a->name == "SimpleDateFormat" || n.a->name == "DecimalFormat")) {
        if (n.name != "format") EvalFail(n.name + "() is not a method of " + n.a->name);
        Arity(n, 1, 1);
        const std::vector<Value> made = Args(*n.a, lookup);
        if (made.empty()) EvalFail(n.a->name + " needs a pattern");
        const std::string& pattern = Str(made[0], n.a->name);
        const Value v = Eval(*n.args[0], lookup);
        if (n.a->name == "SimpleDateFormat") return S(FormatDate(DateOf(v, "format()"), pattern));
        return S(FormatNumber(Num(v, "format()"), pattern));
    }
    const Value target = Eval(*n.a, lookup);
    const std::vector<Value> a = Args(n, lookup);
    if (engine::IsNull(target)) EvalFail(n.name + "() called on null");
    if (const auto* s = std::get_if<std::string>(&target)) return StringMethod(n, Q(*s), a);
    if (IsNumber(target)) return NumberMethod(n, target, a);
    if (const auto* d = std::get_if<engine::DateTime>(&target)) return DateMethod(n, *d, a);
    if (const auto* b = std::get_if<bool>(&target)) {
        if (n.name == "booleanValue") return Arity(n, 0, 0), *b;
        if (n.name == "toString") return Arity(n, 0, 0), JavaText(target);
        if (n.name == "equals") return Arity(n, 1, 1), Equal(target, a[0]);
        if (n.name == "compareTo") return Arity(n, 1, 1), std::int64_t(Compare(target, a[0]));
    }
    EvalFail(n.name + "() is not a method of " + TypeName(target));
}

std::optional<double> ParseNumber(const std::string& text) {
    const std::string t = S(Q(text).trimmed());
    double d = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), d);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size()) return std::nullopt;
    return d;
}

Value ToWhole(const Value& v, const std::string& in) {
    if (const auto* s = std::get_if<std::string>(&v)) {
        const std::string t = S(Q(*s).trimmed());
        std::int64_t i = 0;
        const char* begin = t.data() + (t.size() > 1 && t[0] == '+' ? 1 : 0);
        const auto r = std::from_chars(begin, t.data() + t.size(), i);
        if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
            EvalFail(in + ": \"" + *s + "\" is not a whole number");
        return i;
    }
    if (engine::IsNull(v)) EvalFail(in + "(null)");
    return Whole(v, in);
}

Value ToReal(const Value& v, const std::string& in) {
    if (const auto* s = std::get_if<std::string>(&v)) {
        const auto d = ParseNumber(*s);
        if (!d) EvalFail(in + ": \"" + *s + "\" is not a number");
        return *d;
    }
    if (engine::IsNull(v)) EvalFail(in + "(null)");
    return Num(v, in);
}

Value ToBoolean(const Value& v) {
    if (const auto* b = std::get_if<bool>(&v)) return *b;
    if (const auto* s = std::get_if<std::string>(&v))
        return Q(*s).compare("true", Qt::CaseInsensitive) == 0;
    return false;
}

Value CallStatic(const ExprNode& n, const Lookup& lookup) {
    const std::string& m = n.name;
    if (m == "String.format") {
        // A Locale first: the user's locale formats here in any case.
        const size_t first = !n.args.empty() && IsLocale(*n.args[0]) ? 1 : 0;
        if (first >= n.args.size()) Arity(n, first + 1, 64);
        std::vector<Value> a(first);
        for (size_t i = first; i < n.args.size(); ++i)
            a.push_back(Eval(*n.args[i], lookup));
        return JavaFormat(Str(a[first], m + "()"), a, first + 1);
    }
    const std::vector<Value> a = Args(n, lookup);
    if (m == "String.valueOf") return Arity(n, 1, 1), JavaText(a[0]);
    if (m == "Integer.valueOf" || m == "Integer.parseInt" || m == "Long.valueOf" ||
        m == "Long.parseLong" || m == "Short.valueOf" || m == "Short.parseShort")
        return Arity(n, 1, 1), ToWhole(a[0], m + "()");
    if (m == "Integer.toString" || m == "Long.toString" || m == "Double.toString")
        return Arity(n, 1, 1), JavaText(a[0]);
    if (m == "Double.valueOf" || m == "Double.parseDouble" || m == "Float.valueOf" ||
        m == "Float.parseFloat")
        return Arity(n, 1, 1), ToReal(a[0], m + "()");
    if (m == "Boolean.valueOf" || m == "Boolean.parseBoolean")
        return Arity(n, 1, 1), ToBoolean(a[0]);
    if (m == "BigDecimal.valueOf") return Arity(n, 1, 2), Value(Num(a[0], m + "()"));
    // Math
    if (m == "Math.abs") {
        Arity(n, 1, 1);
        if (const auto* i = std::get_if<std::int64_t>(&a[0]); i && *i != INT64_MIN)
            return std::llabs(*i);
        return std::fabs(Num(a[0], m + "()"));
    }
    if (m == "Math.max" || m == "Math.min") {
        Arity(n, 2, 2);
        Num(a[0], m + "()");
        Num(a[1], m + "()");
        const int c = Compare(a[0], a[1]);
        return (m == "Math.max") == (c >= 0) ? a[0] : a[1];
    }
    const double x = Num(a.empty() ? Value() : a[0], m + "()");
    if (m == "Math.round") return Arity(n, 1, 1), Whole(std::floor(x + 0.5), m + "()");
    if (m == "Math.floor") return Arity(n, 1, 1), std::floor(x);
    if (m == "Math.ceil") return Arity(n, 1, 1), std::ceil(x);
    if (m == "Math.sqrt") return Arity(n, 1, 1), std::sqrt(x);
    if (m == "Math.pow") return Arity(n, 2, 2), std::pow(x, Num(a[1], m + "()"));
    EvalFail(m + "()");
}

// Long on purpose: one branch per built-in function, so the list of the
// functions a report may call reads as one table.
Value CallFunction(const ExprNode& n, const Lookup& lookup) {
    const std::string& f = n.name;
    if (f == "IF") {
        Arity(n, 3, 3);
        return Truth(Eval(*n.args[0], lookup)) ? Eval(*n.args[1], lookup)
                                               : Eval(*n.args[2], lookup);
    }
    const std::vector<Value> a = Args(n, lookup);
    const auto text = [&](size_t i) { return Q(Str(a[i], f + "()")); };
    if (f == "NOW") return Arity(n, 0, 0), Now();
    if (f == "TODAY") {
        Arity(n, 0, 0);
        engine::DateTime d = std::get<engine::DateTime>(Now());
        d.hour = d.minute = d.second = 0;
        return d;
    }
    if (f == "DATEFORMAT") {
        Arity(n, 2, 2);
        if (engine::IsNull(a[0])) return engine::Null{};
        return S(FormatDate(DateOf(a[0], f + "()"), Str(a[1], f + "()")));
    }
    if (f == "TEXT") {
        Arity(n, 2, 2);
        if (engine::IsNull(a[0])) return engine::Null{};
        return S(FormatNumber(Num(a[0], f + "()"), Str(a[1], f + "()")));
    }
    if (f == "CONCATENATE") {
        std::string out;
        for (const auto& v : a)
            out += engine::IsNull(v) ? "" : JavaText(v);
        return out;
    }
    if (f == "msg") {
        Arity(n, 1, 64);
        return MessageText(Str(a[0], f + "()"), a);
    }
    if (f == "ISNULL") return Arity(n, 1, 1), engine::IsNull(a[0]);
    if (f == "EQUALS") return Arity(n, 2, 2), Equal(a[0], a[1]);
    if (f == "NOT") return Arity(n, 1, 1), !Truth(a[0]);
    if (f == "AND" || f == "OR") {
        Arity(n, 1, 64);
        bool r = f == "AND";
        for (const auto& v : a)
            r = f == "AND" ? r && Truth(v) : r || Truth(v);
        return r;
    }
    if (f == "SUM") {
        Value total = std::int64_t{0};
        for (const auto& v : a)
            if (!engine::IsNull(v)) total = Arithmetic(Op::Add, total, Value(Num(v, f + "()")));
        for (const auto& v : a)
            if (!engine::IsNull(v) && !std::holds_alternative<std::int64_t>(v)) return total;
        return IsNumber(total) ? Value(Whole(total, f)) : total;
    }
    if (f == "MAX" || f == "MIN") {
        Arity(n, 1, 64);
        Value best;
        for (const auto& v : a)
            if (!engine::IsNull(v) &&
                (engine::IsNull(best) || (Compare(v, best) > 0) == (f == "MAX")))
                best = v;
        return best;
    }
    // Functions of one text.
    if (f == "LEN") return Arity(n, 1, 1), std::int64_t(text(0).size());
    if (f == "UPPER") return Arity(n, 1, 1), S(text(0).toUpper());
    if (f == "LOWER") return Arity(n, 1, 1), S(text(0).toLower());
    if (f == "TRIM") return Arity(n, 1, 1), S(text(0).trimmed());
    if (f == "LEFT") return Arity(n, 2, 2), S(text(0).left(Whole(a[1], f)));
    if (f == "RIGHT") return Arity(n, 2, 2), S(text(0).right(Whole(a[1], f)));
    if (f == "MID") {
        Arity(n, 3, 3);
        const std::int64_t start = Whole(a[1], f);
        if (start < 1) EvalFail("MID() starts at 1");
        return S(text(0).mid(start - 1, Whole(a[2], f)));
    }
    // Dates.
    if (f == "YEAR") return Arity(n, 1, 1), std::int64_t(DateOf(a[0], f + "()").year);
    if (f == "MONTH") return Arity(n, 1, 1), std::int64_t(DateOf(a[0], f + "()").month);
    if (f == "DAY") return Arity(n, 1, 1), std::int64_t(DateOf(a[0], f + "()").day);
    if (f == "DATE") {
        Arity(n, 3, 3);
        const QDate d(int(Whole(a[0], f)), int(Whole(a[1], f)), int(Whole(a[2], f)));
        if (!d.isValid()) EvalFail("DATE(): not a date");
        return engine::DateTime{d.year(), d.month(), d.day(), 0, 0, 0};
    }
    // Numbers.
    if (a.empty()) Arity(n, 1, 1);
    if (engine::IsNull(a[0])) return engine::Null{};
    const double x = Num(a[0], f + "()");
    if (f == "ROUND") {
        Arity(n, 1, 2);
        const std::int64_t digits = a.size() > 1 ? Whole(a[1], f) : 0;
        const double r = RoundTo(x, digits, HalfUp);
        return digits <= 0 && std::fabs(r) < 9e18 ? Value(std::int64_t(r)) : Value(r);
    }
    if (f == "ABS") {
        Arity(n, 1, 1);
        if (const auto* i = std::get_if<std::int64_t>(&a[0]); i && *i != INT64_MIN)
            return std::llabs(*i);
        return std::fabs(x);
    }
    if (f == "FLOOR") return Arity(n, 1, 2), std::floor(x);
    if (f == "CEIL") return Arity(n, 1, 2), std::ceil(x);
    if (f == "SQRT") return Arity(n, 1, 1), std::sqrt(x);
    if (f == "MOD") return Arity(n, 2, 2), Arithmetic(Op::Mod, a[0], a[1]);
    EvalFail(f + "()");
}

Value Construct(const ExprNode& n, const Lookup& lookup) {
    const std::vector<Value> a = Args(n, lookup);
    const std::string& c = n.name;
    if (c == "Date" || c == "Timestamp") {
        Arity(n, 0, 1);
        if (a.empty()) return Now();
        return FromQt(QDateTime::fromMSecsSinceEpoch(Whole(a[0], "new Date()")));
    }
    if (c == "String")
        return Arity(n, 0, 1), a.empty() ? Value(std::string()) : Value(JavaText(a[0]));
    if (c == "Integer" || c == "Long" || c == "Short")
        return Arity(n, 1, 1), ToWhole(a[0], "new " + c);
    if (c == "Double" || c == "Float" || c == "BigDecimal") {
        Arity(n, 1, 2);
        if (engine::IsNull(a[0])) EvalFail("new " + c + "(null)");
        return ToReal(a[0], "new " + c);
    }
    if (c == "Boolean") return Arity(n, 1, 1), ToBoolean(a[0]);
    EvalFail("a " + c + " cannot be shown; use it with its method, such as new " + c +
             "(...).format(...)");
}

Value CastTo(const std::string& cls, const Value& v) {
    if (engine::IsNull(v) || cls == "Object" || cls == "Comparable") return v;
    const auto refuse = [&]() -> Value {
        EvalFail("Cannot cast " + std::string(TypeName(v)) + " to " + cls);
    };
    if (cls == "String" || cls == "CharSequence")
        return std::holds_alternative<std::string>(v) ? v : refuse();
    if (cls == "Boolean") return std::holds_alternative<bool>(v) ? v : refuse();
    if (cls == "Date" || cls == "Timestamp")
        return std::holds_alternative<engine::DateTime>(v) ? v : refuse();
    if (!IsNumber(v)) return refuse();
    // Numbers of one class in the report may arrive as another here (the
    // table decides): a cast converts between them.
    if (cls == "Integer" || cls == "Long" || cls == "Short" || cls == "Byte" || cls == "BigInteger")
        return Whole(v, "a cast");
    if (cls == "Double" || cls == "Float" || cls == "BigDecimal") return AsDouble(v);
    return v; // Number
}

bool InstanceOf(const std::string& cls, const Value& v) {
    if (engine::IsNull(v)) return false;
    if (cls == "Object" || cls == "Comparable") return true;
    if (cls == "String" || cls == "CharSequence") return std::holds_alternative<std::string>(v);
    if (cls == "Boolean") return std::holds_alternative<bool>(v);
    if (cls == "Date" || cls == "Timestamp") return std::holds_alternative<engine::DateTime>(v);
    if (cls == "Number") return IsNumber(v);
    if (cls == "Integer" || cls == "Long" || cls == "Short" || cls == "Byte" || cls == "BigInteger")
        return std::holds_alternative<std::int64_t>(v);
    return std::holds_alternative<double>(v);
}

Value IndexOf(const ExprNode& n, const Lookup& lookup) {
    if (n.a->op != Op::Method || n.a->name != "split")
        EvalFail("[ ] applies only to the result of split()");
    const ExprNode& call = *n.a;
    Arity(call, 1, 2);
    const Value target = Eval(*call.a, lookup);
    if (engine::IsNull(target)) EvalFail("split() called on null");
    const std::vector<std::string> parts =
        Split(Str(target, "split()"), Str(Eval(*call.args[0], lookup), "split()"));
    const std::int64_t i = Whole(Eval(*n.b, lookup), "[ ]");
    if (i < 0 || size_t(i) >= parts.size())
        EvalFail("the index " + std::to_string(i) + " is outside the " +
                 std::to_string(parts.size()) + " parts split() made");
    return parts[size_t(i)];
}

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
        if (const auto* c = std::get_if<engine::Currency>(&v))
            return c->units == INT64_MIN ? Value(-AsDouble(v)) : Value(engine::Currency{-c->units});
        EvalFail(std::string("Cannot negate ") + TypeName(v));
    }
    case Op::Not:
        return !Truth(Eval(*n.a, lookup));
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
    case Op::Div:
    case Op::Mod:
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
    case Op::Method:
        return CallMethod(n, lookup);
    case Op::Static:
        return CallStatic(n, lookup);
    case Op::Function:
        return CallFunction(n, lookup);
    case Op::New:
        return Construct(n, lookup);
    case Op::Cast:
        return CastTo(n.name, Eval(*n.a, lookup));
    case Op::InstanceOf:
        return InstanceOf(n.name, Eval(*n.a, lookup));
    case Op::Index:
        return IndexOf(n, lookup);
    case Op::Missing:
        EvalFail("Resource not found for key \"" + n.name + "\"");
    }
    return engine::Null{};
}

void Visit(const ExprNode* n, const std::function<void(const ExprNode&)>& f) {
    if (n == nullptr) return;
    f(*n);
    Visit(n->a.get(), f);
    Visit(n->b.get(), f);
    Visit(n->c.get(), f);
    for (const auto& a : n->args)
        Visit(a.get(), f);
}

std::unique_ptr<ExprNode> CopyTree(const ExprNode* n) {
    if (n == nullptr) return nullptr;
    auto c = std::make_unique<ExprNode>();
    c->op = n->op;
    c->literal = n->literal;
    c->kind = n->kind;
    c->name = n->name;
    c->slot = n->slot;
    c->optional = n->optional;
    c->onLocale = n->onLocale;
    c->a = CopyTree(n->a.get());
    c->b = CopyTree(n->b.get());
    c->c = CopyTree(n->c.get());
    for (const auto& arg : n->args)
        c->args.push_back(CopyTree(arg.get()));
    return c;
}

void VisitMutable(ExprNode* n, const std::function<void(ExprNode&)>& f) {
    if (n == nullptr) return;
    f(*n);
    VisitMutable(n->a.get(), f);
    VisitMutable(n->b.get(), f);
    VisitMutable(n->c.get(), f);
    for (auto& a : n->args)
        VisitMutable(a.get(), f);
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

Expression Expression::Parse(const std::string& text, const MessageBundle* messages) {
    Expression e;
    e.text_ = text;
    bool blank = true;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) blank = false;
    if (!blank) e.root_ = Parser(e.text_, messages).Whole();
    return e;
}

Expression Expression::Clone() const {
    Expression e;
    e.text_ = text_;
    e.line_ = line_;
    e.root_ = CopyTree(root_.get());
    return e;
}

void Expression::ForEachReference(
    const std::function<void(RefKind, const std::string&)>& visit) const {
    Visit(root_.get(), [&](const ExprNode& n) {
        if (n.op == Op::Ref && !n.optional) visit(n.kind, n.name);
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
    case 7:
        return engine::CurrencyText(std::get<engine::Currency>(value));
    default:
        return "[binary]";
    }
}

} // namespace printengine
