// The binding layer's conversion and registration toolkit; binding sources
// include this one header.
#pragma once

#include "frame/python.hpp"
#include "frame/ref.hpp"
#include "frame/errors.hpp"
#include "frame/signature.hpp"
#include "frame/convert.hpp"
#include "frame/array.hpp"
#include "frame/function.hpp"
#include "frame/module.hpp"
#include "frame/class.hpp"
