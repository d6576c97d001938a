// The shared native layer of velmor_trader's extension modules.
//
// One name per meaning; a module uses these and declares none of its own:
//   ops.h        Python operations: call, call_method, truth, equal, compare,
//                size, get_item/set_item, item, index, fail, for_each
//   texts.h      concat (a + b + ...), str_of (str(v)), format_of (format(v, ""))
//   attrs.h      VT_ATTR / VT_SET_ATTR: getattr/setattr with a per-site cache
//   attr_group.h AttrGroup: several fields of one record read and replaced together
//   names.h      VT_ID (an interned name), VT_GLOBAL (a module global read at call time)
//   function.h   native functions with Python signatures; bind.h: bodies with
//                named parameters, each file's bind_<file>(vt::Members &)
//   classes.h    ClassBuilder, a class statement; module.h: VT_MODULE, imports, def
//   internals.h  the interpreter's private state behind names (type_lookup,
//                class_of, int_equals...); watch.h: ClassWatch, what was learnt
//                about one class, kept while the class is unchanged
//   locks.h, once.h, errors.h, convert.h, enums.h, asserts.h: threads and
//                one-time set-up, errors, argument conversion, enums, assertions
#pragma once

#include "asserts.h"
#include "attr_group.h"
#include "attrs.h"
#include "bind.h"
#include "classes.h"
#include "convert.h"
#include "enums.h"
#include "errors.h"
#include "function.h"
#include "internals.h"
#include "locks.h"
#include "module.h"
#include "names.h"
#include "once.h"
#include "ops.h"
#include "texts.h"
#include "watch.h"
