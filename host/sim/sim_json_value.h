// The JSON handle the document loader reads: a value of simdjson's parsed tape with the
// questions the loader asks of it. Internal to the simulated host.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// A JSON value of the parsed text. The parser keeps the document as one flat tape, so a
// value is a small handle and reading a number costs no allocation. Objects behave as a
// map with sorted keys in which a repeated key keeps its last value, as the loader has
// always read them.
class Json {
public:
    using Type = simdjson::dom::element_type;

    Json() = default;
    explicit Json(simdjson::dom::element e) : e_(e) {}

    Type type() const { return e_.type(); }
    bool is_object() const { return type() == Type::OBJECT; }
    bool is_array() const { return type() == Type::ARRAY; }
    bool is_string() const { return type() == Type::STRING; }
    bool is_boolean() const { return type() == Type::BOOL; }
    bool is_null() const { return type() == Type::NULL_VALUE; }
    bool is_number() const
    {
        const Type t = type();
        return t == Type::INT64 || t == Type::UINT64 || t == Type::DOUBLE;
    }
    bool is_number_integer() const { return type() == Type::INT64 || type() == Type::UINT64; }
    // Non-negative integers count as unsigned.
    bool is_number_unsigned() const
    {
        return type() == Type::UINT64 || (type() == Type::INT64 && int64() >= 0);
    }

    double number() const { return e_.get_double().value_unsafe(); }
    int64_t int64() const { return e_.get_int64().value_unsafe(); }
    uint64_t uint64() const
    {
        return type() == Type::UINT64 ? e_.get_uint64().value_unsafe() : static_cast<uint64_t>(int64());
    }
    bool boolean() const { return e_.get_bool().value_unsafe(); }
    std::string_view text() const { return e_.get_string().value_unsafe(); }
    std::string str() const { return std::string(text()); }
    // The text of an integer, as it stands in the document.
    std::string integerText() const
    {
        return type() == Type::UINT64 || int64() >= 0 ? std::to_string(uint64()) : std::to_string(int64());
    }

    // Arrays: the number of elements; objects: the number of distinct keys.
    size_t size() const
    {
        if (is_array())
            return arr().size();
        if (is_object())
            return members().size();
        return 0;
    }
    // An element of a short array (the walk is linear: iterate long lists with indexed()).
    Json operator[](size_t i) const { return Json(arr().at(i).value_unsafe()); }

    // The number of elements of an array, storing the first `max` of them in `out`.
    size_t elements(Json* out, size_t max) const
    {
        size_t n = 0;
        for (simdjson::dom::element e : arr()) {
            if (n < max)
                out[n] = Json(e);
            ++n;
        }
        return n;
    }

    struct Indexed {
        simdjson::dom::array::iterator it;
        size_t index;
        std::pair<size_t, Json> operator*() const { return {index, Json(*it)}; }
        Indexed& operator++()
        {
            ++it;
            ++index;
            return *this;
        }
        bool operator!=(const Indexed& o) const { return it != o.it; }
    };
    struct IndexedRange {
        simdjson::dom::array a;
        Indexed begin() const { return {a.begin(), 0}; }
        Indexed end() const { return {a.end(), 0}; }
    };
    // The elements of an array with their index.
    IndexedRange indexed() const { return {arr()}; }

    using Member = std::pair<std::string_view, Json>;
    // The members of an object by key, each key once with its last value.
    std::vector<Member> members() const
    {
        std::vector<Member> list;
        for (auto field : obj())
            list.emplace_back(field.key, Json(field.value));
        std::stable_sort(list.begin(), list.end(),
                         [](const Member& a, const Member& b) { return a.first < b.first; });
        std::vector<Member> unique;
        unique.reserve(list.size());
        for (size_t i = 0; i < list.size(); ++i)
            if (i + 1 == list.size() || list[i + 1].first != list[i].first)
                unique.push_back(list[i]);
        return unique;
    }
    // The value of a key (its last occurrence).
    std::optional<Json> find(std::string_view key) const
    {
        std::optional<Json> found;
        for (auto field : obj())
            if (field.key == key)
                found = Json(field.value);
        return found;
    }
    simdjson::dom::object fields() const { return obj(); }
    simdjson::dom::array arr() const
    {
        const auto a = e_.get_array();
        return a.value_unsafe();
    }
    simdjson::dom::object obj() const
    {
        const auto o = e_.get_object();
        return o.value_unsafe();
    }

private:
    simdjson::dom::element e_;
};

} // namespace sim
