// PixelLoops: how the renderer's innermost pixel loops are compiled.
//
// Functions marked FW_PIXEL_LOOP are compiled three times, for the baseline x86-64
// instruction set and for the AVX2/FMA and AVX-512 levels, and the best one the processor
// runs is picked when the program is loaded. The loops are written over plain float arrays
// and fixed-size vectors so the compiler can vectorise each copy to its own width. Results
// of the copies differ only in the last bits of a float (fused multiply-add rounds once).
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define FW_PIXEL_LOOP __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define FW_PIXEL_LOOP
#endif
