// A JRXML file as the reader keeps it before checking it: a small tree of
// elements with their attributes, text and line.
#pragma once

#include <QString>

#include <memory>
#include <utility>
#include <vector>

namespace printengine {

struct XNode {
    QString name;
    std::vector<std::pair<QString, QString>> attributes;
    QString text;
    std::vector<std::unique_ptr<XNode>> children;
    qint64 line = 0;

    // The attribute's value; empty when it is missing.
    QString Attribute(const char* attribute) const {
        for (const auto& [n, v] : attributes)
            if (n == QLatin1String(attribute)) return v;
        return QString();
    }
};

} // namespace printengine
