// The shared native layer of velmor_trader's extension modules.
#pragma once

#include "asserts.h"
#include "attr_group.h"
#include "attrs.h"
#include "classes.h"
#include "convert.h"
#include "enums.h"
#include "errors.h"
#include "function.h"
#include "locks.h"
#include "module.h"
#include "names.h"
#include "once.h"
#include "texts.h"
