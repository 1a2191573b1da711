#include "judge_common.hpp"

using namespace tsy;

namespace providers {

Ref hosting_credentials(PyObject* model) {
    Ref credentials = getattr(getattr(model, "provider"), "credentials");
    Ref result = new_dict();
    dict_set(result.get(), "url", getattr(credentials, "url").get());
    if (truthy(getattr(credentials, "api_key").get())) dict_set(result.get(), "api_key", getattr(credentials, "api_key").get());
    if (truthy(getattr(credentials, "version").get())) {
        dict_set(result.get(), "username", getattr(credentials, "username").get());
        dict_set(result.get(), "instance_id", getattr(credentials, "instance_id").get());
        if (truthy(getattr(credentials, "password").get()))
            dict_set(result.get(), "password", getattr(credentials, "password").get());
    }
    if (truthy(getattr(model, "project_id").get())) dict_set(result.get(), "project_id", getattr(model, "project_id").get());
    else if (truthy(getattr(model, "space_id").get())) dict_set(result.get(), "space_id", getattr(model, "space_id").get());
    else raise(PyExc_Exception, "Either project or space id is required");
    return result;
}

Async evaluate_in_default_executor(Ref module, Ref self, Ref data, bool evaluate_by_keyword) {
    PyObject* g = module.get();
    Ref loop = call_method(lookup_global(g, "asyncio").get(), "get_event_loop");
    Ref partial = getattr(lookup_global(g, "functools"), "partial");
    Ref runner = lookup_global(g, "start_event_loop_run_func");
    Ref evaluate = getattr(self, "evaluate");
    Ref job = evaluate_by_keyword ? call(partial, runner, kw("func", evaluate), kw("data", data))
                                  : call(partial, runner, evaluate, kw("data", data));
    Ref running = call_method(loop.get(), "run_in_executor", Py_None, job);
    Ref result = co_await running;
    co_return result;
}

}  // namespace providers
