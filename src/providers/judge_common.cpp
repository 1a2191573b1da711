#include "judge_common.hpp"

using namespace tsy;

namespace providers {

Ref hosting_credentials(Handle model) {
    Ref credentials = model.attr("provider").attr("credentials");
    Ref result = new_dict();
    result.set_item("url", credentials.attr("url"));
    if (credentials.attr("api_key").truthy()) result.set_item("api_key", credentials.attr("api_key"));
    if (credentials.attr("version").truthy()) {
        result.set_item("username", credentials.attr("username"));
        result.set_item("instance_id", credentials.attr("instance_id"));
        if (credentials.attr("password").truthy()) result.set_item("password", credentials.attr("password"));
    }
    if (model.attr("project_id").truthy()) result.set_item("project_id", model.attr("project_id"));
    else if (model.attr("space_id").truthy()) result.set_item("space_id", model.attr("space_id"));
    else raise(PyExc_Exception, "Either project or space id is required");
    return result;
}

Async evaluate_in_default_executor(Ref module, Ref self, Ref data, bool evaluate_by_keyword) {
    Ref loop = lookup_global(module, "asyncio").method("get_event_loop");
    Ref partial = lookup_global(module, "functools").attr("partial");
    Ref runner = lookup_global(module, "start_event_loop_run_func");
    Ref evaluate = self.attr("evaluate");
    Ref job = evaluate_by_keyword ? partial(runner, kw("func", evaluate), kw("data", data))
                                  : partial(runner, evaluate, kw("data", data));
    Ref running = loop.method("run_in_executor", Py_None, job);
    Ref result = co_await running;
    co_return result;
}

}  // namespace providers
