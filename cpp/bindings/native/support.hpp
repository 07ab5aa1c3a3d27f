// The support layer every vextal module builds on.
#pragma once
#include "native/args.hpp"
#include "native/capi.hpp"
#include "native/dispatch.hpp"
#include "native/errors.hpp"
#include "native/messages.hpp"
#include "native/module.hpp"
#include "native/ref.hpp"
