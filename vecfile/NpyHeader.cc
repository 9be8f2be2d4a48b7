#include "NpyHeader.h"

namespace orvane::tools {
namespace {

using core::ErrorCode;
using core::Result;
using core::Status;

// Parses the Python literal dictionary of a .npy header, for example
// "{'descr': '<f4', 'fortran_order': False, 'shape': (1000, 64), }".
class NpyHeaderParser {
  public:
    explicit NpyHeaderParser(std::string_view text) : _s(text) {}

    Result<NpyHeader> Parse() {
        NpyHeader header;
        bool haveDescr = false, haveOrder = false, haveShape = false;
        SkipBlanks();
        if (!Eat('{')) return Error("header is not a dictionary");
        while (true) {
            SkipBlanks();
            if (Eat('}')) break;
            std::string key;
            if (!ParseString(&key)) return Error("bad dictionary key");
            SkipBlanks();
            if (!Eat(':')) return Error("missing ':' after key");
            SkipBlanks();
            if (key == "descr") {
                if (!ParseString(&header.descr)) return Error("'descr' is not a string");
                haveDescr = true;
            } else if (key == "fortran_order") {
                if (EatWord("True")) {
                    header.fortranOrder = true;
                } else if (EatWord("False")) {
                    header.fortranOrder = false;
                } else {
                    return Error("'fortran_order' is not True or False");
                }
                haveOrder = true;
            } else if (key == "shape") {
                if (!ParseShape(&header.shape)) return Error("'shape' is not a tuple of integers");
                haveShape = true;
            } else {
                return Error("unexpected key '" + key + "'");
            }
            SkipBlanks();
            if (Eat(',')) continue;
            SkipBlanks();
            if (Eat('}')) break;
            return Error("expected ',' or '}'");
        }
        if (!haveDescr || !haveOrder || !haveShape) {
            return Error("header lacks one of 'descr', 'fortran_order', 'shape'");
        }
        return header;
    }

  private:
    static Result<NpyHeader> Error(const std::string& what) {
        return Status(ErrorCode::InvalidArgument, "malformed .npy header: " + what);
    }
    void SkipBlanks() {
        while (_pos < _s.size() && (_s[_pos] == ' ' || _s[_pos] == '\t' || _s[_pos] == '\n')) {
            ++_pos;
        }
    }
    bool Eat(char c) {
        if (_pos < _s.size() && _s[_pos] == c) {
            ++_pos;
            return true;
        }
        return false;
    }
    bool EatWord(std::string_view word) {
        if (_s.substr(_pos, word.size()) != word) return false;
        _pos += word.size();
        return true;
    }
    bool ParseString(std::string* out) {
        if (_pos >= _s.size() || (_s[_pos] != '\'' && _s[_pos] != '"')) return false;
        char quote = _s[_pos++];
        size_t end = _s.find(quote, _pos);
        if (end == std::string_view::npos) return false;
        out->assign(_s.substr(_pos, end - _pos));
        _pos = end + 1;
        return true;
    }
    bool ParseShape(std::vector<uint64_t>* out) {
        if (!Eat('(')) return false;
        while (true) {
            SkipBlanks();
            if (Eat(')')) return true;
            if (_pos >= _s.size() || _s[_pos] < '0' || _s[_pos] > '9') return false;
            uint64_t value = 0;
            while (_pos < _s.size() && _s[_pos] >= '0' && _s[_pos] <= '9') {
                if (__builtin_mul_overflow(value, 10, &value) ||
                    __builtin_add_overflow(value, uint64_t(_s[_pos] - '0'), &value)) {
                    return false;
                }
                ++_pos;
            }
            out->push_back(value);
            SkipBlanks();
            if (Eat(',')) continue;
            SkipBlanks();
            if (Eat(')')) return true;
            return false;
        }
    }

    std::string_view _s;
    size_t _pos = 0;
};

}  // namespace

Result<NpyHeader> ParseNpyHeader(std::string_view text) {
    return NpyHeaderParser(text).Parse();
}

}  // namespace orvane::tools
