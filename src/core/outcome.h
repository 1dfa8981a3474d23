// What a step of the script (SAVE, RUN, OPEN, PRINT) ended with. The step
// itself never ends the run: it returns its outcome, and the script alone
// tells the user and ends the run (app/run.h).
#pragma once

#include <optional>
#include <string>

namespace core {

// How a failure's message is shown before the run ends.
enum class FailureBox {
    Fatal,       // the fatal message: critical icon, "The program will terminate." added
    Information, // an information box with the text as it is (the report printer's)
};

struct Outcome {
    bool ok = true;
    // Success: what to tell the user (empty: nothing). Failure: its description.
    std::string message;
    // A failure's error number, written after the description as "(N)".
    std::optional<int> number;
    FailureBox box = FailureBox::Fatal;
    // An information box's caption; empty: the application title.
    std::string caption;
    // Shown first in a box without an icon (a destination folder that is a file).
    std::string notice;

    static Outcome Success(std::string message = {}) {
        Outcome outcome;
        outcome.message = std::move(message);
        return outcome;
    }
    static Outcome Failure(std::string description, std::optional<int> number = std::nullopt) {
        Outcome outcome;
        outcome.ok = false;
        outcome.message = std::move(description);
        outcome.number = number;
        return outcome;
    }
    // A failure shown as an information box with `caption` (empty: the title).
    static Outcome Informed(std::string text, std::string caption = {}) {
        Outcome outcome = Failure(std::move(text));
        outcome.box = FailureBox::Information;
        outcome.caption = std::move(caption);
        return outcome;
    }

    // The text the user sees: the description directly followed by "(N)".
    std::string Text() const {
        return number ? message + "(" + std::to_string(*number) + ")" : message;
    }
};

// An error that nothing in the program traps (the report engine library is
// missing or incomplete). It travels to the top, which shows the platform's
// "Run-time error" box and ends with exit status 2, keeping the transfer file.
struct RunTimeFailure {
    int number;
    std::string description;
};

} // namespace core
