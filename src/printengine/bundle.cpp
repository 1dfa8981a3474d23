#include "printengine/bundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace printengine {

namespace {

constexpr qint64 MaxBundleSize = 4 << 20;

bool IsBlank(QChar c) {
    return c == ' ' || c == '\t' || c == '\f';
}

QString Decode(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(bytes);
}

// The natural lines of `text` (ended by LF, CR or CR LF).
QStringList NaturalLines(const QString& text) {
    QString unified = text;
    unified.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    unified.replace('\r', '\n');
    return unified.split('\n');
}

// The logical lines: comments and blank lines dropped, continued lines
// joined (the continuation's leading blanks dropped).
std::vector<QString> LogicalLines(const QString& text) {
    std::vector<QString> lines;
    QString current;
    bool continuing = false;
    for (QString line : NaturalLines(text)) {
        qsizetype start = 0;
        while (start < line.size() && IsBlank(line[start]))
            ++start;
        line = line.mid(start);
        if (!continuing && (line.isEmpty() || line[0] == '#' || line[0] == '!')) continue;
        // An odd number of backslashes at the end continues the line.
        qsizetype slashes = 0;
        while (slashes < line.size() && line[line.size() - 1 - slashes] == '\\')
            ++slashes;
        continuing = slashes % 2 == 1;
        current += continuing ? line.left(line.size() - 1) : line;
        if (!continuing) {
            lines.push_back(current);
            current.clear();
        }
    }
    if (continuing) lines.push_back(current);
    return lines;
}

// One escape at text[i] (after its backslash); moves i past it.
QString Unescape(const QString& text, qsizetype& i) {
    const QChar c = text[i++];
    if (c == 't') return QStringLiteral("\t");
    if (c == 'n') return QStringLiteral("\n");
    if (c == 'r') return QStringLiteral("\r");
    if (c == 'f') return QStringLiteral("\f");
    if (c == 'u') {
        bool ok = false;
        const ushort code = i + 4 <= text.size() ? text.mid(i, 4).toUShort(&ok, 16) : 0;
        if (!ok) return QStringLiteral("u"); // malformed: kept as written
        i += 4;
        return QString(QChar(code));
    }
    return QString(c);
}

} // namespace

void ParseProperties(const QByteArray& bytes, std::unordered_map<std::string, std::string>& into) {
    for (const QString& line : LogicalLines(Decode(bytes))) {
        QString key, value;
        qsizetype i = 0;
        while (i < line.size() && line[i] != '=' && line[i] != ':' && !IsBlank(line[i])) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                ++i;
                key += Unescape(line, i);
            } else {
                key += line[i++];
            }
        }
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i < line.size() && (line[i] == '=' || line[i] == ':')) ++i;
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        while (i < line.size()) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                ++i;
                value += Unescape(line, i);
            } else if (line[i] == '\\') {
                ++i; // a lone backslash at the very end
            } else {
                value += line[i++];
            }
        }
        into[key.toStdString()] = value.toStdString();
    }
}

std::string JavaLocaleName(const QLocale& locale) {
    if (locale.language() == QLocale::C) return "en_US";
    return locale.name().toStdString();
}

std::vector<QString> BundleFileNames(const QString& base, const QLocale& locale) {
    QString path = base;
    path.replace('.', '/');
    const QString name = QString::fromStdString(JavaLocaleName(locale));
    std::vector<QString> names;
    const qsizetype underscore = name.indexOf('_');
    if (underscore > 0) names.push_back(path + "_" + name + ".properties");
    names.push_back(path + "_" + name.left(underscore > 0 ? underscore : name.size()) +
                    ".properties");
    names.push_back(path + ".properties");
    return names;
}

namespace {

// The file `name` below `folder`: the exact name, or the one entry of its
// folder that matches it but for case.
QString ExistingFile(const QString& folder, const QString& name) {
    const QFileInfo info(QDir(folder).filePath(name));
    if (info.isFile()) return info.filePath();
    const QDir dir = info.dir();
    QString found;
    for (const QString& entry : dir.entryList(QDir::Files)) {
        if (entry.compare(info.fileName(), Qt::CaseInsensitive) != 0) continue;
        if (!found.isEmpty()) return QString(); // two candidates: neither is meant
        found = dir.filePath(entry);
    }
    return found;
}

} // namespace

bool LoadBundle(const QString& folder, const QString& base, const QLocale& locale,
                MessageBundle& bundle) {
    if (folder.isEmpty() || base.isEmpty() || base.contains('/') || base.contains('\\') ||
        base.startsWith('.'))
        return false;
    bool any = false;
    // The least specific first: each more specific file overrides its keys.
    const std::vector<QString> names = BundleFileNames(base, locale);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        const QString path = ExistingFile(folder, *it);
        if (path.isEmpty()) continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() > MaxBundleSize) continue;
        std::unordered_map<std::string, std::string> entries;
        ParseProperties(file.read(MaxBundleSize), entries);
        for (auto& [key, value] : entries)
            bundle.entries[key] = std::move(value);
        any = true;
    }
    return any;
}

void AddBuiltInParameters(Report& report, const std::set<std::string>& used) {
    const auto declared = [&](const std::string& name) -> ParameterDef* {
        for (auto& p : report.parameters)
            if (p.name == name) return &p;
        return nullptr;
    };
    ParameterDef* locale = declared("REPORT_LOCALE");
    if (locale == nullptr && used.count("REPORT_LOCALE") != 0) {
        report.parameters.push_back(ParameterDef{"REPORT_LOCALE", ValueClass::String, {}, {}});
        locale = &report.parameters.back();
    }
    // The report's locale is a Locale: here its name, which its methods read.
    if (locale != nullptr &&
        (locale->otherClass == "java.util.Locale" || locale->valueClass == ValueClass::String)) {
        locale->valueClass = ValueClass::String;
        locale->otherClass.clear();
        if (locale->defaultValue.Empty())
            locale->defaultValue = Expression::Parse("\"" + JavaLocaleName(QLocale()) + "\"");
    }
    if (used.count("REPORT_PARAMETERS_MAP") != 0 && declared("REPORT_PARAMETERS_MAP") == nullptr)
        report.parameters.push_back(
            ParameterDef{"REPORT_PARAMETERS_MAP", ValueClass::Object, "java.util.Map", {}});
}

} // namespace printengine
