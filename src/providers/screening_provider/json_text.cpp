#include "json_text.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <cmath>
#include <vector>

namespace screening {

namespace {

constexpr size_t kMaxDepth = 200;  // deeper values go to json.dumps, which knows the recursion limit
constexpr char kHex[] = "0123456789abcdef";

class Writer {
public:
    bool value(PyObject* v) {
        if (v == Py_None) return raw("null");
        if (v == Py_True) return raw("true");
        if (v == Py_False) return raw("false");
        PyTypeObject* t = Py_TYPE(v);
        if (t == &PyUnicode_Type) return string(v);
        if (t == &PyLong_Type) return integer(v);
        if (t == &PyFloat_Type) return floating(PyFloat_AS_DOUBLE(v));
        if (t == &PyList_Type || t == &PyTuple_Type) return sequence(v);
        if (t == &PyDict_Type) return mapping(v);
        return false;
    }

    std::string out;

private:
    bool raw(const char* s) {
        out += s;
        return true;
    }

    bool string(PyObject* s) {
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        out += '"';
        if (kind == PyUnicode_1BYTE_KIND) {
            // Runs of printable ASCII go over in one piece; only the rest is looked at, eight
            // bytes at a time while none of them needs escaping (as in most texts).
            const auto* bytes = static_cast<const unsigned char*>(data);
            Py_ssize_t run = 0;
            for (Py_ssize_t i = 0; i < n;) {
                if (n - i >= 8) {
                    uint64_t word;
                    std::memcpy(&word, bytes + i, 8);
                    if (plain(word)) {
                        i += 8;
                        continue;
                    }
                }
                const unsigned char c = bytes[i];
                if (!(c >= ' ' && c <= '~' && c != '"' && c != '\\')) {
                    out.append(reinterpret_cast<const char*>(bytes + run), static_cast<size_t>(i - run));
                    character(c);
                    run = i + 1;
                }
                ++i;
            }
            out.append(reinterpret_cast<const char*>(bytes + run), static_cast<size_t>(n - run));
            out += '"';
            return true;
        }
        for (Py_ssize_t i = 0; i < n; ++i) character(PyUnicode_READ(kind, data, i));
        out += '"';
        return true;
    }

    // True when none of the eight bytes of `word` needs escaping: none below ' ', above '~',
    // '"' or '\\'. The tests of whether any byte is below, above or equal to a value are exact
    // for "any" (a borrow or carry only follows a byte that already answered yes).
    static bool plain(uint64_t word) {
        constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
        const uint64_t below = (word - kOnes * ' ') & ~word;
        const uint64_t above = (word + kOnes * (0x7f - '~')) | word;
        const uint64_t quote = word ^ (kOnes * '"'), backslash = word ^ (kOnes * '\\');
        const uint64_t quotes = (quote - kOnes) & ~quote, backslashes = (backslash - kOnes) & ~backslash;
        return ((below | above | quotes | backslashes) & kHigh) == 0;
    }

    // One character of a text, escaped as the encoder escapes it.
    void character(Py_UCS4 c) {
        switch (c) {
            case '"': out += "\\\""; return;
            case '\\': out += "\\\\"; return;
            case '\n': out += "\\n"; return;
            case '\r': out += "\\r"; return;
            case '\t': out += "\\t"; return;
            case '\b': out += "\\b"; return;
            case '\f': out += "\\f"; return;
            default: break;
        }
        if (c >= ' ' && c <= '~') {
            out += static_cast<char>(c);
        } else if (c >= 0x10000) {
            c -= 0x10000;
            escape(0xd800 | ((c >> 10) & 0x3ff));
            escape(0xdc00 | (c & 0x3ff));
        } else {
            escape(c);
        }
    }

    void escape(Py_UCS4 c) {
        char buf[6] = {'\\', 'u', kHex[(c >> 12) & 0xf], kHex[(c >> 8) & 0xf], kHex[(c >> 4) & 0xf], kHex[c & 0xf]};
        out.append(buf, 6);
    }

    bool integer(PyObject* v) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, x);
            out.append(buf, r.ptr);
            return true;
        }
        // Big integers: the interpreter's own digits (and its digit-limit error).
        tsy::Ref digits = tsy::Ref::checked(PyObject_Repr(v));
        out += tsy::utf8(digits.get());
        return true;
    }

    bool floating(double d) {
        if (std::isnan(d)) return raw("NaN");
        if (std::isinf(d)) return raw(d > 0 ? "Infinity" : "-Infinity");
        char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!s) tsy::throw_error();
        out += s;
        PyMem_Free(s);
        return true;
    }

    bool enter(PyObject* container) {
        if (path_.size() >= kMaxDepth) return false;
        for (PyObject* p : path_)
            if (p == container) return false;  // a cycle: json.dumps reports it
        path_.push_back(container);
        return true;
    }

    bool sequence(PyObject* v) {
        if (!enter(v)) return false;
        out += '[';
        // Items are read afresh by index: the list is ours only while no code runs.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); ++i) {
            if (i) out += ", ";
            if (!value(PySequence_Fast_GET_ITEM(v, i))) return false;
        }
        out += ']';
        path_.pop_back();
        return true;
    }

    bool mapping(PyObject* v) {
        if (!enter(v)) return false;
        out += '{';
        PyObject *key, *item;
        Py_ssize_t pos = 0;
        bool first = true;
        while (PyDict_Next(v, &pos, &key, &item)) {
            if (!first) out += ", ";
            first = false;
            if (!dict_key(key)) return false;
            out += ": ";
            if (!value(item)) return false;
        }
        out += '}';
        path_.pop_back();
        return true;
    }

    // Keys are written as text: numbers and constants by their JSON spelling.
    bool dict_key(PyObject* key) {
        PyTypeObject* t = Py_TYPE(key);
        if (t == &PyUnicode_Type) return string(key);
        const size_t mark = out.size();
        out += '"';
        bool ok;
        if (key == Py_True) ok = raw("true");
        else if (key == Py_False) ok = raw("false");
        else if (key == Py_None) ok = raw("null");
        else if (t == &PyLong_Type) ok = integer(key);
        else if (t == &PyFloat_Type) ok = floating(PyFloat_AS_DOUBLE(key));
        else ok = false;
        if (!ok) {
            out.resize(mark);
            return false;
        }
        out += '"';
        return true;
    }

    std::vector<PyObject*> path_;
};

// The text is ASCII by construction: copied straight into a new compact string.
tsy::Ref ascii_text(const std::string& out) {
    tsy::Ref text = tsy::Ref::checked(PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), out.data(), out.size());
    return text;
}

}  // namespace

std::optional<BodyHead> BodyHead::of(tsy::Handle detectors) {
    Writer w;
    w.out = "{\"detectors\": ";
    if (!w.value(detectors.get())) return std::nullopt;
    return BodyHead(std::move(w.out));
}

std::optional<tsy::Ref> BodyHead::body(std::initializer_list<Member> members) const {
    Writer w;
    w.out.reserve(text_.size() + 256);
    w.out = text_;
    for (const Member& m : members) {
        w.out += ", \"";
        w.out += m.key;
        w.out += "\": ";
        if (!w.value(m.value.get())) return std::nullopt;
    }
    w.out += '}';
    return ascii_text(w.out);
}

}  // namespace screening
