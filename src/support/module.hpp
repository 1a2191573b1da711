// Modules and classes built as the interpreter builds them.
#pragma once

#include "coroutine.hpp"
#include "function.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tsy {

// The namespace of a module being executed: its globals, in the order they are bound.
class Module {
public:
    explicit Module(PyObject* module);

    PyObject* object() const { return module_; }
    PyObject* globals() const { return globals_; }
    // The global `name` as it stands now (NameError if missing).
    Ref global(const char* name) const { return lookup_global(globals_, name); }
    void set(const char* name, PyObject* value) { dict_set(globals_, name, value); }
    void set(const char* name, const Ref& value) { set(name, value.get()); }

    // import module [as name]
    void import(const char* module, const char* as = nullptr);
    // from module import name [as alias]
    void from_import(const char* module, const char* name, const char* as = nullptr);
    // Binds `global` to `LazyModule(*statements, name=lazy_name)` (the module's own global
    // `LazyModule`), loads it at once, then binds each of `names` from it, in order.
    void lazy_import(const char* global, std::initializer_list<const char*> statements, const char* lazy_name,
                     std::initializer_list<const char*> names);
    // Defines a module function and binds it under its name.
    void def(const FunctionSpec& spec);
    // A function of this module (bound nowhere), e.g. for a class body.
    Ref function(const FunctionSpec& spec, PyObject* qualname_prefix = nullptr) const;

private:
    PyObject* module_;
    PyObject* globals_;
};

// A class made as a `class` statement makes it: the metaclass's namespace (from
// `__prepare__` where it has one) gets `__module__`, `__qualname__`, the docstring, the
// annotations, the attributes and the methods in the order given, then the metaclass is
// called with name, bases and namespace.
class ClassBuilder {
public:
    ClassBuilder(const Module& module, const char* name);

    ClassBuilder& base(Ref base);  // default: object
    ClassBuilder& doc(const char* doc);
    ClassBuilder& annotate(const char* name, const char* annotation);  // as text
    ClassBuilder& annotate(const char* name, Ref annotation);           // an evaluated annotation
    ClassBuilder& attr(const char* name, Ref value);
    ClassBuilder& method(const FunctionSpec& spec);
    // A method named `__x`, stored under the mangled `_Class__x` as the compiler does.
    ClassBuilder& private_method(const FunctionSpec& spec);
    ClassBuilder& static_method(const FunctionSpec& spec);
    // Any attribute computed from a function of the class, e.g. a decorated static method.
    ClassBuilder& decorated(const char* name, const FunctionSpec& spec, Ref (*decorate)(const Module&, Ref));

    // The class name with a private method's name mangled: `_Class__x`.
    std::string mangled(const char* name) const;
    PyObject* qualname() const { return qualname_.get(); }
    Ref build();

private:
    const Module& module_;
    std::string name_;
    Ref qualname_;
    std::vector<Ref> bases_;
    Ref annotations_;
    std::vector<std::pair<std::string, Ref>> members_;
};

// Runs a module's exec function under the guard; used by TSY_MODULE.
int exec_module(PyObject* module, void (*exec)(Module&)) noexcept;

}  // namespace tsy

// Declares the one exported symbol of a module, PyInit_<name>, with multi-phase
// initialisation running `exec(tsy::Module&)`.
#define TSY_MODULE(name, doc_text, exec_fn)                                                           \
    static int tsy_exec_##name(PyObject* m) noexcept { return tsy::exec_module(m, exec_fn); }         \
    static PyModuleDef_Slot tsy_slots_##name[] = {                                                    \
        {Py_mod_exec, reinterpret_cast<void*>(tsy_exec_##name)},                                      \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                   \
        {0, nullptr}};                                                                                \
    static PyModuleDef tsy_def_##name = {PyModuleDef_HEAD_INIT, #name, doc_text, 0, nullptr,          \
                                         tsy_slots_##name, nullptr, nullptr, nullptr};                \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&tsy_def_##name); }
