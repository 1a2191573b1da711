#include "evaluation_progress.hpp"

namespace tsy {

Ref progress_variable() {
    Ref package = import("tessaly");
    Ref variable = getattr_or(package, "_evaluation_progress", Py_None);
    if (variable.is_none()) {
        variable = import("contextvars").attr("ContextVar")(text("tessaly._evaluation_progress"),
                                                            kw("default", Py_None));
        // Looked up again once made: the import may have let another thread set one first, and
        // the first one set is the one every module must find.
        Ref again = getattr_or(package, "_evaluation_progress", Py_None);
        if (!again.is_none()) return again;
        package.set_attr("_evaluation_progress", variable);
    }
    return variable;
}

Ref progress_sink() {
    Ref sink = progress_variable().method("get");
    if (sink.is_none()) return nullptr;
    return sink;
}

}  // namespace tsy
