// The shared native layer of velmor_trader's extension modules.
//
// One name per meaning; a module uses these and declares none of its own:
//   ops.h        Python operations: call, call_method, truth, equal, compare,
//                size, get_item/set_item, item, index, fail, for_each, with_lock
//   texts.h      concat (a + b + ...), str_of (str(v)), format_of (format(v, ""))
//   attrs.h      VT_ATTR / VT_SET_ATTR: getattr/setattr with a per-site cache;
//                enum_value (member.value)
//   attr_group.h AttrGroup: several fields of one record read and replaced together
//   names.h      VT_ID (an interned name), VT_GLOBAL (a module global read at call time)
//   function.h   native functions with Python signatures, argument conversion;
//                bind.h: bodies with named parameters, each file's bind_<file>(vt::Members &)
//   classes.h    ClassBuilder, a class statement; module.h: VT_MODULE, imports, def
//   internals.h  the interpreter's private state behind names (type_lookup,
//                class_of, int_equals...); watch.h: ClassWatch, what was learnt
//                about one class, kept while the class is unchanged
//   once.h, errors.h: one-time set-up; errors and assertions
#pragma once

#include "attr_group.h"
#include "attrs.h"
#include "bind.h"
#include "classes.h"
#include "errors.h"
#include "function.h"
#include "internals.h"
#include "module.h"
#include "names.h"
#include "once.h"
#include "ops.h"
#include "texts.h"
#include "watch.h"
