#include "hosting_credentials.hpp"

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

}  // namespace providers
