// partitioned_runner: fingerprints of the work a partition holds, and the identifiers of a
// resumable run.
#include "fingerprint.hpp"

#include <array>

using namespace tsy;

namespace partitioned {

namespace {

constexpr int kMaxDepth = 48;
constexpr const char* kTooManyRows = "a partition of %zd rows is beyond what a resumable run numbers (2**32 - 1)";

// Names under which a definition may hold a secret. Left out of the fingerprint: a digest of a
// short key can be searched for, and a key that changes does not change what is evaluated.
bool is_secret(std::string_view name) {
    for (std::string_view secret : {"api_key", "apikey", "password", "secret", "client_secret", "token", "access_token",
                                    "refresh_token", "bearer_token", "credentials", "authenticator"})
        if (name == secret) return true;
    return false;
}

// module.qualname of a class or function
Ref qualified_name(Handle o) {
    Ref module = getattr_or(o, "__module__", Py_None), name = getattr_or(o, "__qualname__", Py_None);
    if (name.is_none()) name = getattr_or(o, "__name__", Py_None);
    return text_format("%S.%S", module, name);
}

Ref class_and(Handle value, const char* what, Handle content) {
    Ref described = new_dict();
    described.set_item("class", qualified_name(reinterpret_cast<PyObject*>(value.type())));
    described.set_item(what, content);
    return described;
}

// A value as the fingerprint takes it, made of JSON's types only: JSON's own values as they are,
// containers item by item (a set in an order that does not depend on the process), models as
// their class and fields, enums as their class and value, functions and classes by name, other
// objects as their class and attributes (or their repr); secrets left out.
Ref describe(Handle value, int depth) {
    PyObject* v = value.get();  // for the type checks
    if (value.is_none() || value.is_str() || PyBool_Check(v) || PyLong_Check(v) || PyFloat_Check(v))
        return Ref::borrow(value);
    if (depth > kMaxDepth) return text("...");
    if (value.is_dict()) {
        Ref described = new_dict();
        for (const Ref& item : iterate(value.method("items"))) {
            auto [key, entry] = unpack<2>(item);
            Ref name = key.is_str() ? key : key.repr();
            if (is_secret(utf8(name))) continue;
            described.set_item(name, describe(entry, depth + 1));
        }
        return described;
    }
    if (value.is_list() || PyTuple_Check(v) || PyAnySet_Check(v)) {
        Ref items = PyAnySet_Check(v) ? builtin("sorted")(value, kw("key", builtin("repr"))) : Ref::borrow(value);
        Ref described = new_list();
        for (const Ref& item : iterate(items)) append(described, describe(item, depth + 1));
        return described;
    }
    if (value.isinstance(import("enum").attr("Enum")))
        return class_and(value, "value", describe(value.attr("value"), depth + 1));
    if (PyType_Check(v) || PyFunction_Check(v) || PyCFunction_Check(v)) return qualified_name(value);
    Handle type = reinterpret_cast<PyObject*>(value.type());
    if (type.has_attr("model_fields") && value.has_attr("model_dump"))
        return class_and(value, "fields", describe(value.method("model_dump"), depth + 1));
    Ref attributes = getattr_or(value, "__dict__", Py_None);
    if (attributes.is_dict()) return class_and(value, "fields", describe(attributes, depth + 1));
    return class_and(value, "repr", value.repr());
}

Ref sha256_of(Handle data) { return import("hashlib").method("sha256", data); }

// splitmix64's finaliser: a bijection of 64-bit words that mixes every input bit into every
// output bit.
uint64_t mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The UUID text of record `key` of a run: `first` (a bijection of the key, so no two records share
// it) takes 64 of the 122 bits a version-4 UUID leaves free, `second` 58 of the others.
Ref derived_uuid(uint64_t seed, uint64_t key) {
    const uint64_t first = mix(seed ^ key), second = mix(mix(seed ^ 0x5851f42d4c957f2dULL) ^ key);
    std::array<unsigned char, 16> b;
    for (int i = 0; i < 6; ++i) b[i] = static_cast<unsigned char>(first >> (56 - 8 * i));
    b[6] = static_cast<unsigned char>(0x40 | ((first >> 12) & 0x0f));
    b[7] = static_cast<unsigned char>(first >> 4);
    b[8] = static_cast<unsigned char>(0x80 | ((first & 0x0f) << 2) | (second >> 62));
    for (int i = 9; i < 16; ++i) b[i] = static_cast<unsigned char>(second >> (8 * (15 - i)));
    return uuid_text(b.data());
}

// `field not in data.columns.to_list() or data[field].isnull().all()`, as _evaluate_metrics decides
bool needs_filling(Handle table, Handle field) {
    if (!table.attr("columns").method("to_list").contains(field)) return true;
    return table[field].method("isnull").method("all").truthy();
}

}  // namespace

Ref work_digest(Handle configuration, Handle metrics, Handle metric_groups, Handle kwargs, Handle partition_rows) {
    Ref work = new_list_of({integer(1), describe(configuration, 0), describe(metrics, 0), describe(metric_groups, 0),
                            describe(kwargs, 0), describe(partition_rows, 0)});
    Ref json_text = import("json").method("dumps", work, kw("allow_nan", true));
    return sha256_of(json_text.method("encode")).method("hexdigest");
}

Ref partition_fingerprint(Handle work, Py_ssize_t index, Handle table) {
    Ref digest = sha256_of(text_format("%U|%zd|", work, index).method("encode"));
    Ref columns = list_of(table.attr("columns"));
    Ref dtypes = new_list();
    for (const Ref& dtype : iterate(table.attr("dtypes"))) append(dtypes, dtype.str());
    digest.method("update", text_format("%R|%R|%zd|", columns, dtypes, table.len()).method("encode"));
    Ref hash_rows = import("pandas").attr("util").attr("hash_pandas_object");
    Handle object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    for (Py_ssize_t j = 0; j < columns.len(); ++j) {
        Ref column = table.attr("iloc")[tuple_of({builtin("slice")(Py_None), integer(j)})];
        // Values of any kind (lists of contexts, say) as their repr, which pandas can hash and which
        // tells 1 from "1"; typed columns as pandas hashes them.
        if (column.attr("dtype").equals(object_type)) column = column.method("map", builtin("repr"));
        Ref hashes = hash_rows(column, kw("index", false), kw("categorize", false));
        digest.method("update", hashes.method("to_numpy").method("tobytes"));
    }
    return digest.method("hexdigest");
}

void fill_identifiers(Handle configuration, Handle table, uint64_t seed, Handle timestamp, Py_ssize_t partition) {
    Ref id_field = configuration.attr("record_id_field");
    if (needs_filling(table, id_field)) {
        const Py_ssize_t rows = table.len();
        if (partition >= 0 && static_cast<uint64_t>(rows) >> 32) raise(PyExc_ValueError, kTooManyRows, rows);
        const uint64_t base = partition >= 0 ? static_cast<uint64_t>(partition) << 32 : 0;
        Ref ids = new_list(rows);
        for (Py_ssize_t i = 0; i < rows; ++i)
            PyList_SET_ITEM(ids.get(), i, derived_uuid(seed, base + static_cast<uint64_t>(i)).release());
        table.set_item(id_field, ids);
    }
    Ref timestamp_field = configuration.attr("record_timestamp_field");
    if (needs_filling(table, timestamp_field)) table.set_item(timestamp_field, timestamp);
}

}  // namespace partitioned
