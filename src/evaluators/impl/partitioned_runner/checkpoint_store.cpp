// partitioned_runner: the checkpoint store, a local directory or a store reached by URL.
#include "checkpoint_store.hpp"

#include <cctype>
#include <charconv>

using namespace tsy;

namespace partitioned {

namespace {

constexpr const char* kNeedsFsspec =
    "A checkpoint URL needs fsspec: install it with pip install fsspec (checkpoint %R)";
constexpr const char* kRefused = "checkpoint store %R cannot be used: %U";
constexpr const char* kNotStorable =
    "a result of type %.200s cannot be stored: a checkpoint keeps aggregate results only";
constexpr const char* kNotJson = "Object of type %.200s is not JSON serializable";
constexpr const char* kManifest = "manifest.json";
constexpr int kFormat = 1;

Ref evaluation_result(const char* name) { return import_from("tessaly.entities.evaluation_result", name); }

Ref as_bytes(std::string_view s) {
    return Ref::checked(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref sha256_hex(Handle data) { return import("hashlib").method("sha256", data).method("hexdigest"); }

Ref random_hex(int bytes) { return import("os").method("urandom", integer(bytes)).method("hex"); }

// What json.dumps cannot write by itself, as JSON's types: enums as their values, models as their
// fields, numpy scalars as numbers, dates as ISO texts, sets as lists. Anything else cannot be
// stored (the partition is then not saved; its result still counts).
PyObject* json_default(PyObject*, PyObject* value_object) noexcept {
    return guard_object([&]() -> Ref {
        Handle value = value_object;
        if (value.isinstance(import("enum").attr("Enum"))) return value.attr("value");
        if (value.has_attr("model_dump")) return value.method("model_dump");
        Ref module = getattr_or(reinterpret_cast<PyObject*>(value.type()), "__module__", Py_None);
        if (module.is_str() && module.method("startswith", text("numpy")).truthy() && value.has_attr("item"))
            return value.method("item");
        if (value.has_attr("isoformat")) return value.method("isoformat");
        if (PyAnySet_Check(value.get())) return builtin("sorted")(value, kw("key", builtin("repr")));
        raise(PyExc_TypeError, kNotJson, type_name(value));
    });
}
PyMethodDef json_default_def = {"json_default", json_default, METH_O, nullptr};

// The line of a result: {"metrics_result": [model_dump() of each aggregate]} as JSON, NaN kept
// as JSON's NaN.
Ref result_line(Handle result) {
    Ref aggregate_class = evaluation_result("AggregateMetricResult");
    Ref items = new_list();
    for (const Ref& item : iterate(result.attr("metrics_result"))) {
        if (!item.isinstance(aggregate_class)) raise(PyExc_TypeError, kNotStorable, type_name(item));
        append(items, item.method("model_dump"));
    }
    Ref document = new_dict();
    document.set_item("metrics_result", items);
    Ref default_ = Ref::checked(PyCFunction_New(&json_default_def, nullptr));
    Ref line = import("json").method("dumps", document, kw("default", default_), kw("allow_nan", true));
    return line.method("encode");  // ASCII: json.dumps escapes everything else
}

Ref result_of_line(Handle line) {
    Ref document = import("json").method("loads", line);
    Ref aggregate_class = evaluation_result("AggregateMetricResult");
    Ref results = new_list();
    for (const Ref& item : iterate(document["metrics_result"]))
        append(results, aggregate_class.method("model_validate", item));
    Ref fields = new_dict();
    fields.set_item("metrics_result", results);
    return evaluation_result("MetricsEvaluationResult").method("model_validate", fields);
}

// The digest an entry carries: of its fingerprint and its result's line.
Ref entry_digest(Handle fingerprint, Handle line) {
    return sha256_hex(fingerprint.method("encode").add(as_bytes("\n")).add(line));
}

Ref entry_name(Py_ssize_t index) { return text_format("partition-%06zd.json", index); }

// A record failed on its request: code REQUEST_FAILED, or an HTTP status.
bool failed_on_request(Handle result) {
    for (const Ref& aggregate : iterate(result.attr("metrics_result")))
        for (const Ref& record : iterate(aggregate.attr("record_level_metrics"))) {
            Ref errors = record.attr("errors");
            if (errors.is_none()) continue;
            for (const Ref& error : iterate(errors)) {
                Ref code = error.attr("code");
                if (code.equals("REQUEST_FAILED") || code.method("isdigit").truthy()) return true;
            }
        }
    return false;
}

// A seed written as 16 hexadecimal digits.
bool parse_seed(Handle text_value, uint64_t& seed) {
    if (!text_value || !text_value.is_str()) return false;
    const std::string_view digits = utf8(text_value);
    if (digits.size() != 16) return false;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seed, 16);
    return error == std::errc() && end == digits.data() + digits.size();
}

}  // namespace

uint64_t seed_of(Handle seed) {
    uint64_t value = 0;
    if (!parse_seed(seed, value)) raise(PyExc_ValueError, "a run's seed is 16 hexadecimal digits, not %R", seed);
    return value;
}

bool is_url(Handle location) {
    const std::string_view s = utf8(location);
    const size_t colon = s.find("://");
    if (colon == std::string_view::npos || colon == 0) return false;
    for (char c : s.substr(0, colon))
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.' || c == ':'))
            return false;
    return true;
}

Ref describe_error(const PyError& e) { return text_format("%S: %S", getattr(e.type(), "__name__"), e.text()); }

Py_ssize_t failed_records(Handle result) {
    Py_ssize_t failed = 0;
    for (const Ref& aggregate : iterate(result.attr("metrics_result")))
        for (const Ref& record : iterate(getattr_or(aggregate, "record_level_metrics", Py_None)))
            if (getattr_or(record, "errors", Py_None).truthy()) ++failed;
    return failed;
}

Store::Store(Handle location) : location_(Ref::borrow(location)) {
    if (is_url(location)) {
        Ref fsspec;
        try {
            fsspec = import("fsspec");
        } catch (PyError& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            raise_from(new_exception(PyExc_ImportError, text_format(kNeedsFsspec, location)), e);
        }
        try {
            auto [fs, root] = unpack<2>(fsspec.attr("core").method("url_to_fs", location));
            fs_ = fs;
            root_ = root.method("rstrip", text("/"));
            fs_.method("makedirs", root_.len() ? root_ : text("/"), kw("exist_ok", true));
        } catch (PyError& e) {
            if (!e.is_exception()) throw;
            raise_from(new_exception(PyExc_OSError, text_format(kRefused, location, describe_error(e))), e);
        }
    } else {
        root_ = Ref::borrow(location);
        try {
            import("os").method("makedirs", root_, kw("exist_ok", true));
        } catch (PyError& e) {
            if (!e.is_exception()) throw;
            raise_from(new_exception(PyExc_OSError, text_format(kRefused, location, describe_error(e))), e);
        }
    }
}

Ref Store::path(Handle name) const {
    if (fs_) return text_format("%U/%U", root_, name);
    return import("os").attr("path").method("join", root_, name);
}

Ref Store::read(Handle name) const {
    Ref file_path = path(name);
    try {
        if (fs_) return fs_.method("cat_file", file_path);
        Ref file = builtin("open")(file_path, text("rb"));
        Ref data;
        with_context(file, [&] { data = file.method("read"); });
        return data;
    } catch (PyError& e) {
        if (e.matches(PyExc_FileNotFoundError)) return nullptr;
        throw;
    }
}

void Store::write(Handle name, Handle data) const {
    Ref final_path = path(name), temporary = path(text_format(".%U.%U.tmp", name, random_hex(8)));
    try {
        if (fs_) {
            Ref file = fs_.method("open", temporary, text("wb"));
            with_context(file, [&] { file.method("write", data); });
            fs_.method("mv", temporary, final_path);
        } else {
            Ref os = import("os");
            Ref file = builtin("open")(temporary, text("xb"));
            with_context(file, [&] {
                file.method("write", data);
                file.method("flush");
                os.method("fsync", file.method("fileno"));
            });
            os.method("replace", temporary, final_path);
        }
    } catch (PyError&) {
        remove(temporary);
        throw;
    }
}

void Store::remove(Handle file_path) const {
    try {
        if (fs_) fs_.method("rm", file_path);
        else import("os").method("remove", file_path);
    } catch (PyError& e) {
        if (!e.is_exception()) throw;  // gone already, or never made: nothing to tidy
    }
}

void Store::probe() const {
    try {
        Ref name = text_format(".probe-%U", random_hex(8));
        write(name, as_bytes("probe"));
        Ref written = read(name);
        remove(path(name));
        if (!written || !written.equals(as_bytes("probe"))) raise(PyExc_OSError, "a probe file did not read back");
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        raise_from(new_exception(PyExc_OSError, text_format(kRefused, location_, describe_error(e))), e);
    }
}

Identity Store::identity() const {
    Identity found;
    Ref manifest_name = text(kManifest);
    try {
        if (Ref data = read(manifest_name)) {
            Ref manifest = import("json").method("loads", data);
            Ref seed = manifest.is_dict() ? dict_get(manifest, "seed") : nullptr;
            Ref timestamp = manifest.is_dict() ? dict_get(manifest, "timestamp") : nullptr;
            Ref digest = manifest.is_dict() ? dict_get(manifest, "sha256") : nullptr;
            uint64_t value = 0;
            if (parse_seed(seed, value) && timestamp && timestamp.is_str() && digest &&
                digest.equals(sha256_hex(text_format("%U|%U", seed, timestamp).method("encode")))) {
                found.seed = seed;
                found.timestamp = timestamp;
                return found;
            }
            found.replaced = text("its content does not match its sha256");
        }
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        found.replaced = describe_error(e);
    }
    Ref seed = random_hex(8);
    found.seed = seed;
    found.timestamp = import_from("datetime", "datetime").method("now").method("isoformat");
    Ref manifest = new_dict();
    manifest.set_item("format", integer(kFormat));
    manifest.set_item("seed", seed);
    manifest.set_item("timestamp", found.timestamp);
    manifest.set_item("sha256", sha256_hex(text_format("%U|%U", seed, found.timestamp).method("encode")));
    try {
        write(manifest_name, import("json").method("dumps", manifest).add(text("\n")).method("encode"));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        raise_from(new_exception(PyExc_OSError, text_format(kRefused, location_, describe_error(e))), e);
    }
    return found;
}

Stored Store::load(Py_ssize_t index, Handle fingerprint, bool retry_failed) const {
    Stored stored;
    Ref data;
    try {
        data = read(entry_name(index));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        stored.why = Unused::unreadable;
        stored.reason = describe_error(e);
        return stored;
    }
    if (!data) return stored;
    auto corrupt = [&](Ref reason) {
        stored.why = Unused::corrupt;
        stored.reason = std::move(reason);
        return std::move(stored);
    };
    try {
        Ref newline = as_bytes("\n");
        auto [header_line, separator, rest] = unpack<3>(data.method("partition", newline));
        Ref header = import("json").method("loads", header_line);
        if (!header.is_dict()) return corrupt(text("its header is not a JSON object"));
        Ref format = dict_get(header, "format"), partition = dict_get(header, "partition");
        if (!format || !format.equals(kFormat) || !partition || !partition.equals(index))
            return corrupt(text("its header names another format or partition"));
        Ref stored_fingerprint = dict_get(header, "fingerprint");
        if (!stored_fingerprint || !stored_fingerprint.equals(fingerprint)) {
            stored.why = Unused::other_work;
            return stored;
        }
        if (!rest.method("endswith", newline).truthy()) return corrupt(text("it is cut short"));
        Ref line = rest[builtin("slice")(Py_None, integer(-1))];
        Ref digest = dict_get(header, "sha256");
        if (!digest || !digest.equals(entry_digest(fingerprint, line)))
            return corrupt(text("its content does not match its sha256"));
        stored.result = result_of_line(line);
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        return corrupt(describe_error(e));
    }
    if (retry_failed && failed_on_request(stored.result)) {
        stored.result.reset();
        stored.why = Unused::failed_records;
    }
    return stored;
}

void Store::save(Py_ssize_t index, Handle fingerprint, Py_ssize_t rows, Handle result) const {
    Ref line = result_line(result);
    Ref header = new_dict();
    header.set_item("format", integer(kFormat));
    header.set_item("partition", integer(index));
    header.set_item("fingerprint", fingerprint);
    header.set_item("records", integer(rows));
    header.set_item("sha256", entry_digest(fingerprint, line));
    Ref newline = as_bytes("\n");
    Ref header_line = import("json").method("dumps", header).method("encode");
    write(entry_name(index), header_line.add(newline).add(line).add(newline));
}

}  // namespace partitioned
