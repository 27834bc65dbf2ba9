#include "json_locator.h"

#include <set>

namespace plchost {

TextPosition positionOf(const QByteArray& text, int offset) {
    TextPosition p;
    const int end = std::min(offset, int(text.size()));
    for (int i = 0; i < end; ++i) {
        const auto c = uint8_t(text[i]);
        if (c == '\n') {
            p.line++;
            p.column = 1;
        } else if ((c & 0xC0) != 0x80) {  // not a UTF-8 continuation byte
            p.column++;
        }
    }
    return p;
}

JsonLocator::JsonLocator(const QByteArray& text) : text_(text) {
    skipSpace();
    value("");
}

std::string JsonLocator::member(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

std::string JsonLocator::element(const std::string& path, int index) {
    return path + "[" + std::to_string(index) + "]";
}

TextPosition JsonLocator::valueAt(const std::string& path) const {
    auto it = values_.find(path);
    return positionOf(text_, it == values_.end() ? 0 : it->second);
}

TextPosition JsonLocator::keyAt(const std::string& path) const {
    auto it = keys_.find(path);
    return it == keys_.end() ? valueAt(path) : positionOf(text_, it->second);
}

void JsonLocator::skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r'))
        ++pos_;
}

// A string token at pos_, returned with its simple escapes resolved (keys
// are compared by this text).
std::string JsonLocator::string() {
    std::string out;
    ++pos_;  // opening quote
    while (pos_ < text_.size() && text_[pos_] != '"') {
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) {
            ++pos_;
            const char e = text_[pos_];
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        } else {
            out += text_[pos_];
        }
        ++pos_;
    }
    ++pos_;  // closing quote
    return out;
}

void JsonLocator::value(const std::string& path) {
    if (pos_ >= text_.size()) return;
    values_[path] = pos_;
    const char c = text_[pos_];
    if (c == '{') {
        ++pos_;
        std::set<std::string> seen;
        for (;;) {
            skipSpace();
            if (pos_ >= text_.size() || text_[pos_] == '}') break;
            if (text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            const int keyPos = pos_;
            const std::string key = string();
            const std::string child = member(path, key);
            if (!seen.insert(key).second) duplicates_.push_back(child);
            keys_[child] = keyPos;
            skipSpace();
            if (pos_ < text_.size() && text_[pos_] == ':') ++pos_;
            skipSpace();
            value(child);
        }
        ++pos_;
    } else if (c == '[') {
        ++pos_;
        int index = 0;
        for (;;) {
            skipSpace();
            if (pos_ >= text_.size() || text_[pos_] == ']') break;
            if (text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            value(element(path, index++));
        }
        ++pos_;
    } else if (c == '"') {
        string();
    } else {
        while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '}' &&
               text_[pos_] != ']' && text_[pos_] != ' ' && text_[pos_] != '\n' &&
               text_[pos_] != '\r' && text_[pos_] != '\t')
            ++pos_;
    }
}

}  // namespace plchost
