// Report expressions: the small Java-like language of text fields, variables,
// group and parameter defaults. $F{name}, $P{name}, $V{name}; string, number
// and boolean literals and null; + - * /; comparisons; && || !; ?:;
// parentheses; .toString() and .toUpperCase().
#pragma once

#include "engine/engine.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace printengine {

using Value = engine::Value;

// A failure to parse or to evaluate; the text names what went wrong.
class ExpressionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class RefKind { Field, Parameter, Variable };

struct ExprNode;
struct MessageBundle;

class Expression {
  public:
    Expression();
    ~Expression();
    Expression(const Expression&);
    Expression& operator=(const Expression&);
    Expression(Expression&&) noexcept;
    Expression& operator=(Expression&&) noexcept;

    // Throws ExpressionError naming what is outside the language. $R{key}
    // (and str("key")) read `messages`: what they say is fixed here.
    static Expression Parse(const std::string& text, const MessageBundle* messages = nullptr);
    // A copy with a tree of its own, to be bound apart from this one.
    Expression Clone() const;

    bool Empty() const { return root_ == nullptr; }
    // The line of the report file the expression was read from (0: none).
    int Line() const { return line_; }
    void SetLine(int line) { line_ = line; }
    const std::string& Text() const { return text_; }

    // Every $F/$P/$V reference, for checking names before the report runs.
    void ForEachReference(const std::function<void(RefKind, const std::string&)>& visit) const;

    // `lookup` returns the value of a reference; slots are resolved once by
    // Bind so that evaluation does no name lookups.
    void Bind(const std::function<int(RefKind, const std::string&)>& slotOf);
    Value Evaluate(const std::function<const Value&(RefKind, int slot)>& lookup) const;

  private:
    std::string text_;
    // Copies share the parsed tree; binding happens before any copy is made.
    std::shared_ptr<ExprNode> root_;
    int line_ = 0;
};

// Java's text for a value (String.valueOf): "null", "true", 12, 1.5, 3.0.
std::string JavaText(const Value& value);

} // namespace printengine
