// The support layer every vextal module builds on.
#pragma once
#include "args.hpp"
#include "capi.hpp"
#include "dispatch.hpp"
#include "errors.hpp"
#include "messages.hpp"
#include "module.hpp"
#include "ref.hpp"
