// Message bundles: the Java .properties files a report names in its
// resourceBundle attribute, read from beside the report for the user's
// locale, and the locale itself as reports see it ($P{REPORT_LOCALE}).
#pragma once

#include "printengine/report.h"

#include <QByteArray>
#include <QLocale>
#include <QString>

#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace printengine {

// The texts $R{key} reads, and what a key that is not there gives
// (whenResourceMissingType).
struct MessageBundle {
    enum class Missing { Null, Empty, Key, Error };
    Missing missing = Missing::Null;
    std::unordered_map<std::string, std::string> entries;

    const std::string* Find(const std::string& key) const {
        const auto it = entries.find(key);
        return it == entries.end() ? nullptr : &it->second;
    }
};

// The entries of a .properties file, as java.util.Properties reads them:
// `=`, `:` or blanks between key and value, `#` and `!` comments, a
// backslash at a line's end continuing it, \t \n \r \f \uXXXX escapes.
// UTF-8 unless the bytes are not valid UTF-8, then ISO-8859-1 (as Java 9 and
// later read bundles). A later entry for a key replaces an earlier one.
void ParseProperties(const QByteArray& bytes, std::unordered_map<std::string, std::string>& into);

// Java's name for `locale` (Locale.toString): "de_DE", "fr". The C locale is
// Java's en_US, as a Java program started in it sees.
std::string JavaLocaleName(const QLocale& locale);

// The files of bundle `base` for `locale`, most specific first: base_xx_YY,
// base_xx, base (".properties" added). A dotted base (com.acme.Texts) is a
// path below the report's folder.
std::vector<QString> BundleFileNames(const QString& base, const QLocale& locale);

// Reads bundle `base` from `folder`: each key from the most specific file
// that has it. False when not one of its files is there.
bool LoadBundle(const QString& folder, const QString& base, const QLocale& locale,
                MessageBundle& bundle);

// Declares the built-in parameters among `used` that the report does not
// declare itself: REPORT_LOCALE (the user's locale, by its Java name) and
// REPORT_PARAMETERS_MAP (read only through its get("NAME")).
void AddBuiltInParameters(Report& report, const std::set<std::string>& used);

} // namespace printengine
