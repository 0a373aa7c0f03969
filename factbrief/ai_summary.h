// The class AISummary's three methods: their definitions for the method
// function objects, and the binder tables filled from the module state.
#pragma once

#include "factbrief/module_state.h"

namespace factbrief {

// Source lines where each method's definition starts.
inline constexpr int kInitLine = 10;
inline constexpr int kExtractLine = 15;
inline constexpr int kRefinedTitleLine = 31;

extern PyMethodDef g_init_def;
extern PyMethodDef g_extract_def;
extern PyMethodDef g_refined_title_def;

}  // namespace factbrief
