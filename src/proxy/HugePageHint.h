#pragma once

#include <QtGlobal>

// Asks the kernel to back the 2 MiB-aligned interior of a large block that is about to be filled with huge
// pages. Each fresh page costs a fault when first touched, and a list of a hundred thousand records touches
// thousands of them; with huge pages that is a few dozen. Only a hint: blocks under 4 MiB and systems without
// transparent huge pages are left alone.
void AdviseHugePages(const void* data, qsizetype bytes);
