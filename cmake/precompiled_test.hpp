// The tests' precompiled headers: the library's, and GoogleTest.
#pragma once

#include "precompiled.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
