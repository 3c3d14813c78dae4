#pragma once

// A reader for the flat JSON objects of the example detector configurations:
// one object whose values are numbers, strings or arrays of integers. Anything
// else (nested objects, escapes other than \" and \\, literals) is rejected
// with a message, so a changed configuration fails loudly instead of being
// half read.

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace velmora::bench {

class FlatJson {
  public:
    using Value = std::variant<double, std::string, std::vector<int>>;

    static FlatJson read(const std::filesystem::path& path) {
        std::ifstream in(path);
        if (!in) {
            throw std::runtime_error("cannot open " + path.string());
        }
        std::stringstream text;
        text << in.rdbuf();
        try {
            return FlatJson(text.str());
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(path.string() + ": " + e.what());
        }
    }

    explicit FlatJson(std::string text) : text_(std::move(text)) {
        expect('{');
        if (!peek('}')) {
            do {
                std::string key = parse_string();
                expect(':');
                values_[key] = parse_value();
            } while (accept(','));
        }
        expect('}');
        skip_space();
        if (pos_ != text_.size()) {
            fail("trailing text");
        }
    }

    [[nodiscard]] bool has(const std::string& key) const { return values_.contains(key); }
    [[nodiscard]] double number(const std::string& key) const { return get<double>(key, "a number"); }
    [[nodiscard]] int integer(const std::string& key) const {
        const double v = number(key);
        if (!is_int(v)) {
            throw std::runtime_error("config key '" + key + "' must be an integer");
        }
        return static_cast<int>(v);
    }
    [[nodiscard]] const std::string& string(const std::string& key) const { return get<std::string>(key, "a string"); }
    [[nodiscard]] const std::vector<int>& int_array(const std::string& key) const {
        return get<std::vector<int>>(key, "an array of integers");
    }

  private:
    static bool is_int(double v) { return v >= -2147483648.0 && v <= 2147483647.0 && v == std::trunc(v); }

    template <typename T>
    const T& get(const std::string& key, const char* kind) const {
        const auto it = values_.find(key);
        if (it == values_.end()) {
            throw std::runtime_error("config key '" + key + "' is missing");
        }
        if (!std::holds_alternative<T>(it->second)) {
            throw std::runtime_error("config key '" + key + "' must be " + kind);
        }
        return std::get<T>(it->second);
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("bad JSON at offset " + std::to_string(pos_) + ": " + what);
    }
    void skip_space() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])) != 0) {
            ++pos_;
        }
    }
    bool peek(char c) {
        skip_space();
        return pos_ < text_.size() && text_[pos_] == c;
    }
    bool accept(char c) {
        if (peek(c)) {
            ++pos_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!accept(c)) {
            fail(std::string("expected '") + c + "'");
        }
    }

    std::string parse_string() {
        expect('"');
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            char c = text_[pos_++];
            if (c == '\\') {
                if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\\')) {
                    fail("unsupported escape");
                }
                c = text_[pos_++];
            }
            out += c;
        }
        expect('"');
        return out;
    }

    double parse_number() {
        skip_space();
        const char* begin = text_.c_str() + pos_;
        char* end = nullptr;
        const double v = std::strtod(begin, &end);
        if (end == begin) {
            fail("expected a number, a string or an array");
        }
        pos_ += static_cast<std::size_t>(end - begin);
        return v;
    }

    Value parse_value() {
        if (peek('"')) {
            return parse_string();
        }
        if (accept('[')) {
            std::vector<int> items;
            if (!peek(']')) {
                do {
                    const double v = parse_number();
                    if (!is_int(v)) {
                        fail("array items must be integers");
                    }
                    items.push_back(static_cast<int>(v));
                } while (accept(','));
            }
            expect(']');
            return items;
        }
        return parse_number();
    }

    std::string text_;
    std::size_t pos_ = 0;
    std::map<std::string, Value> values_;
};

} // namespace velmora::bench
