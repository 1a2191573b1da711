// The one header module code includes.
#pragma once

#include "coroutine.hpp"
#include "error.hpp"
#include "evaluation_progress.hpp"
#include "function.hpp"
#include "module.hpp"
#include "objects.hpp"
#include "ref.hpp"
