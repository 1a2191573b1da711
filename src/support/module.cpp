#include "module.hpp"

#include "call_events.hpp"

namespace tsy {

Module::Module(PyObject* module) : module_(module), globals_(PyModule_GetDict(module)) {}

void Module::import(const char* module, const char* as) {
    Ref m = tsy::import(module);
    if (!as) {
        // `import a.b` binds `a`
        std::string top(module);
        top = top.substr(0, top.find('.'));
        set(top.c_str(), tsy::import(top.c_str()));
    } else {
        set(as, m);
    }
}

void Module::from_import(const char* module, const char* name, const char* as) {
    set(as ? as : name, import_from(module, name));
}

void Module::lazy_import(const char* global_name, std::initializer_list<const char*> statements,
                         const char* lazy_name, std::initializer_list<const char*> names) {
    CallArgs args;
    for (const char* statement : statements) args.arg(text(statement));
    set(global_name, args.kw("name", text(lazy_name)).call(global("LazyModule").get()));
    Ref lazy = global(global_name);
    call(global("load"), lazy);
    for (const char* name : names) set(name, getattr(lazy.get(), name));
}

void Module::def(const FunctionSpec& spec) { set(spec.name, function(spec)); }

Ref Module::function(const FunctionSpec& spec, PyObject* qualname_prefix) const {
    return make_function(spec, globals_, qualname_prefix);
}

int exec_module(PyObject* module, void (*exec)(Module&)) noexcept {
    call_events::watch_for_listeners();
    return guard<int>(-1, [&] {
        Module m(module);
        exec(m);
        return 0;
    });
}

// ---- classes -------------------------------------------------------------------------------

ClassBuilder::ClassBuilder(const Module& module, const char* name)
    : module_(module), name_(name), qualname_(text(name)), annotations_(new_dict()) {}

ClassBuilder& ClassBuilder::base(Ref b) {
    bases_.push_back(std::move(b));
    return *this;
}

ClassBuilder& ClassBuilder::doc(const char* doc) { return attr("__doc__", text(doc)); }

ClassBuilder& ClassBuilder::annotate(const char* name, const char* annotation) {
    dict_set(annotations_.get(), name, text(annotation).get());
    return *this;
}

ClassBuilder& ClassBuilder::annotate(const char* name, Ref annotation) {
    dict_set(annotations_.get(), name, annotation.get());
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, Ref value) {
    members_.emplace_back(name, std::move(value));
    return *this;
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& spec) {
    return attr(spec.name, module_.function(spec, qualname_.get()));
}

std::string ClassBuilder::mangled(const char* name) const {
    std::string cls = name_;
    cls.erase(0, cls.find_first_not_of('_'));
    return "_" + cls + name;
}

ClassBuilder& ClassBuilder::private_method(const FunctionSpec& spec) {
    std::string stored_as = mangled(spec.name);
    Ref f = make_function(spec, module_.globals(), qualname_.get(), nullptr, stored_as.c_str());
    members_.emplace_back(std::move(stored_as), std::move(f));
    return *this;
}

ClassBuilder& ClassBuilder::static_method(const FunctionSpec& spec) {
    Ref f = module_.function(spec, qualname_.get());
    // staticmethod(f), which also takes over the function's name and docstring
    return attr(spec.name, call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), f));
}

ClassBuilder& ClassBuilder::decorated(const char* name, const FunctionSpec& spec,
                                      Ref (*decorate)(const Module&, Ref)) {
    return attr(name, decorate(module_, module_.function(spec, qualname_.get())));
}

Ref ClassBuilder::build() {
    Ref bases = Ref::checked(PyTuple_New((Py_ssize_t)bases_.size()));
    for (size_t i = 0; i < bases_.size(); ++i) PyTuple_SET_ITEM(bases.get(), (Py_ssize_t)i, Ref(bases_[i]).release());
    // The metaclass is the most derived metaclass of the bases, as for a class statement.
    Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    for (auto& b : bases_) {
        PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(b.get()));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(meta), reinterpret_cast<PyTypeObject*>(metaclass.get())))
            metaclass = Ref::borrow(meta);
    }
    Ref name = text(name_);
    Ref ns;
    if (hasattr(metaclass.get(), "__prepare__")) ns = call_method(metaclass.get(), "__prepare__", name, bases);
    else ns = new_dict();
    set_item(ns.get(), text("__module__").get(), lookup_global(module_.globals(), "__name__").get());
    set_item(ns.get(), text("__qualname__").get(), qualname_.get());
    if (length(annotations_.get())) set_item(ns.get(), text("__annotations__").get(), annotations_.get());
    for (auto& [key, value] : members_) set_item(ns.get(), text(key).get(), value.get());
    return call(metaclass, name, bases, ns);
}

}  // namespace tsy
