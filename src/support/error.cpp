#include "error.hpp"

#include <cstdarg>

namespace tsy {

PyError::PyError() : exc_(Ref::steal(PyErr_GetRaisedException())) {
    if (!exc_) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc_ = Ref::steal(PyErr_GetRaisedException());
    }
}

Ref PyError::text() const { return Ref::checked(PyObject_Str(exc_.get())); }

void throw_error() { throw PyError(); }

void raise_formatted(PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    Ref message = Ref::steal(PyUnicode_FromFormatV(fmt, va));
    va_end(va);
    if (!message) throw_error();
    PyErr_SetObject(type, message.get());
    throw_error();
}

Ref new_exception(Handle type, Handle message) {
    return Ref::checked(PyObject_CallOneArg(type.get(), message.get()));
}

void raise_from(Ref exception, const PyError& cause) {
    PyException_SetCause(exception.get(), Ref(cause.exception()).release());  // also suppresses context
    PyException_SetContext(exception.get(), Ref(cause.exception()).release());
    throw PyError(std::move(exception));
}

void raise_in_context(Ref exception, const PyError& context) {
    PyException_SetContext(exception.get(), Ref(context.exception()).release());
    throw PyError(std::move(exception));
}

Ref exception_object(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (PyError& e) {
        return e.exception();
    } catch (...) {
        set_error_from_current_exception();
        return Ref::steal(PyErr_GetRaisedException());
    }
}

void chain_context(const PyError& error, const Ref& context) {
    PyObject* exc = error.exception().get();
    if (exc == context.get()) return;
    Ref existing = Ref::steal(PyException_GetContext(exc));
    if (!existing) PyException_SetContext(exc, Ref(context).release());
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
}

}  // namespace tsy
