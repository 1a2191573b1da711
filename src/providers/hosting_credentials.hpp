// The credentials of the model-hosting service as the judge engines take them; shared by the
// two judge providers.
#pragma once

#include "support.hpp"

namespace providers {

// From a hosting-service foundation model: "url", "api_key" when set, and for an installed
// deployment (truthy `version`) "username", "instance_id" and "password" when set; then its
// "project_id", else its "space_id" (Exception "Either project or space id is required").
tsy::Ref hosting_credentials(PyObject* model);

}  // namespace providers
