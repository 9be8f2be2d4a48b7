// Options<T>: a typed option map (key -> int64 | double | bool | string). The
// OptionsType parameter only keeps the five kinds of option map apart at compile time.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <variant>

namespace orvane::api {

enum class OptionsType : uint32_t {
    Search = 0,
    Searcher = 1,
    Builder = 2,
    Quantizer = 3,
    IO = 4,
};

// Alternative order matters: index 0..3 equals schema::FieldType.
using OptionValue = std::variant<int64_t, double, bool, std::string>;

std::string OptionValueToString(const OptionValue& value);

template <OptionsType T>
class Options {
  public:
    using Map = std::unordered_map<std::string, OptionValue>;

    Options() = default;
    explicit Options(Map values) : _values(std::move(values)) {}
    Options(std::initializer_list<typename Map::value_type> init) : _values(init) {}

    int64_t GetInt(const std::string& key, int64_t def) const { return Get<int64_t>(key, def); }
    double GetDouble(const std::string& key, double def) const { return Get<double>(key, def); }
    bool GetBool(const std::string& key, bool def) const { return Get<bool>(key, def); }
    std::string GetString(const std::string& key, std::string def) const {
        auto it = _values.find(key);
        if (it == _values.end() || !std::holds_alternative<std::string>(it->second)) return def;
        return std::get<std::string>(it->second);
    }

    const Map& Values() const { return _values; }
    Map& Values() { return _values; }

    std::string DebugString() const {
        std::string out = "{";
        bool first = true;
        for (const auto& [key, value] : _values) {
            if (!first) out += ", ";
            first = false;
            out += '"';
            out += key;
            out += "\":";
            out += OptionValueToString(value);
        }
        out += '}';
        return out;
    }

  private:
    template <typename V>
    V Get(const std::string& key, V def) const {
        auto it = _values.find(key);
        if (it == _values.end() || !std::holds_alternative<V>(it->second)) return def;
        return std::get<V>(it->second);
    }

    Map _values;
};

using SearchOptions = Options<OptionsType::Search>;
using SearcherOptions = Options<OptionsType::Searcher>;
using BuilderOptions = Options<OptionsType::Builder>;
using QuantizerOptions = Options<OptionsType::Quantizer>;
using IOOptions = Options<OptionsType::IO>;

}  // namespace orvane::api
