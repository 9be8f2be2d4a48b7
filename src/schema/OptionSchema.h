// OptionSchema: the records that describe which option keys a component understands.
// A schema is a fixed, ordered list of fields; each field names a key, the value type
// it must hold, whether it is required, an optional value check and a one-line
// description. Validation never applies a default: whoever reads a key applies its own,
// and the field's `byDefault` only says, for the option reference, what that reader
// does when the key is left out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "orvane/api/Options.h"
#include "orvane/core/Status.h"

namespace orvane::schema {

// The value type a key must hold. The numbering equals the alternative index of
// api::OptionValue, so a value's index() compares directly against it.
enum class FieldType : uint32_t {
    kInt = 0,
    kDouble = 1,
    kBool = 2,
    kString = 3,
};

// Checks one present value; the key is passed in for the failure message.
using ValidatorFn = core::Status (*)(std::string_view key, const api::OptionValue& value);

struct OptionField {
    std::string_view key;
    FieldType type = FieldType::kInt;
    bool required = false;
    ValidatorFn validator = nullptr;  // may be null: any value of the right type passes
    std::string_view description;
    // What the reader applies when the key is left out, as the reference shows
    // it; empty for a required key.
    std::string_view byDefault;
};

// `field` with another default text, for a kind whose reader applies its own.
constexpr OptionField WithDefault(OptionField field, std::string_view byDefault) {
    field.byDefault = byDefault;
    return field;
}

// `group` with the default text of the field named `key` replaced.
template <size_t N>
constexpr std::array<OptionField, N> WithDefault(std::array<OptionField, N> group,
                                                 std::string_view key, std::string_view byDefault) {
    for (OptionField& field : group) {
        if (field.key == key) field.byDefault = byDefault;
    }
    return group;
}

// A read-only view over a schema's fields, in the order validation visits them.
// An empty view is a valid schema that knows no key.
struct OptionSchemaView {
    std::span<const OptionField> fields;

    constexpr size_t Size() const { return fields.size(); }
    constexpr bool Empty() const { return fields.empty(); }
    // The field with this key, or null when the schema does not know it.
    constexpr const OptionField* Find(std::string_view key) const {
        for (const OptionField& field : fields) {
            if (field.key == key) return &field;
        }
        return nullptr;
    }
};

// A compile-time schema table of N fields.
template <size_t N>
struct OptionSchema {
    std::array<OptionField, N> fields;

    constexpr OptionSchemaView View() const { return OptionSchemaView{std::span(fields)}; }
    constexpr operator OptionSchemaView() const { return View(); }  // NOLINT: implicit by design
    static constexpr size_t Size() { return N; }
};

// Concatenates field groups into one table, so a group shared by several tables is
// spelled once.
template <size_t... Ns>
constexpr OptionSchema<(Ns + ... + 0)> MakeSchema(const std::array<OptionField, Ns>&... groups) {
    OptionSchema<(Ns + ... + 0)> out{};
    size_t pos = 0;
    auto append = [&](const auto& group) {
        for (const OptionField& field : group) out.fields[pos++] = field;
    };
    (append(groups), ...);
    return out;
}

// What validation and coercion do with a key that the schema does not know.
enum class UnknownKeyPolicy : uint32_t {
    kLogAndIgnore = 0,  // log a warning, keep the entry
    kError = 1,         // refuse the map
    kIgnore = 2,        // keep the entry silently
};

}  // namespace orvane::schema
