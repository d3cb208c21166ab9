// Controls of the fuzz build's stand-in kernel routines.
#pragma once

// Makes the n-th pool allocation from now on fail (0: none).
void FailNthAllocation(unsigned n);
