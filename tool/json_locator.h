// Where each value of a JSON text is: line and column of every key and value
// by its path ("link.baud", "variables[2].count"), and the keys an object
// gives twice (which QJsonDocument keeps silently, the last one winning).
// Meant for text QJsonDocument has already accepted; it does not validate.
#ifndef PLCHOST_JSON_LOCATOR_H
#define PLCHOST_JSON_LOCATOR_H

#include <QtCore/QByteArray>
#include <map>
#include <string>
#include <vector>

namespace plchost {

struct TextPosition {
    int line = 1;    // from 1
    int column = 1;  // from 1, in characters (UTF-8 sequences count once)
};

// Line and column of a byte offset into text.
TextPosition positionOf(const QByteArray& text, int offset);

class JsonLocator {
public:
    explicit JsonLocator(const QByteArray& text);

    // Position of the value at path ("" is the root); of its key for keyAt.
    // The root's position when the path is unknown.
    TextPosition valueAt(const std::string& path) const;
    TextPosition keyAt(const std::string& path) const;
    // Paths of keys given more than once in their object, in text order
    // (the second and later occurrences).
    const std::vector<std::string>& duplicates() const { return duplicates_; }

    static std::string member(const std::string& path, const std::string& key);
    static std::string element(const std::string& path, int index);

private:
    void skipSpace();
    void value(const std::string& path);
    std::string string();

    const QByteArray& text_;
    int pos_ = 0;
    std::map<std::string, int> values_, keys_;
    std::vector<std::string> duplicates_;
};

}  // namespace plchost

#endif  // PLCHOST_JSON_LOCATOR_H
