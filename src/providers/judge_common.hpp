// What the two judge providers share: the credentials of the model-hosting service as their
// engines take them, and running their synchronous evaluation on the loop's executor.
#pragma once

#include "support.hpp"

namespace providers {

// From a hosting-service foundation model: "url", "api_key" when set, and for an installed
// deployment (truthy `version`) "username", "instance_id" and "password" when set; then its
// "project_id", else its "space_id" (Exception "Either project or space id is required").
tsy::Ref hosting_credentials(tsy::Handle model);

// The provider's synchronous `self.evaluate(data=data)` awaited on the loop's default executor:
//     loop = asyncio.get_event_loop()
//     await loop.run_in_executor(None, functools.partial(runner, evaluate, data=data))
// with `evaluate` passed as the keyword `func` when `evaluate_by_keyword`. `module` is the
// provider's namespace, where `asyncio`, `functools` and the runner
// `start_event_loop_run_func` are looked up when the coroutine runs.
tsy::Async evaluate_in_default_executor(tsy::Ref module, tsy::Ref self, tsy::Ref data, bool evaluate_by_keyword);

}  // namespace providers
