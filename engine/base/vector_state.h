#pragma once
// Code built for the 256- and 512-bit vector registers may return with their
// upper halves still in use: ISA-L's erasure code and CRCs do. On processors
// that track this, every SSE instruction after it (in that thread, and in
// any thread it starts, which inherits its registers) waits to merge halves
// it never touches. Here the SHA instructions then ran 2.8 times slower and
// libcrypto's SHA-256 1.3 times.

// Puts the upper halves back in their initial state (vzeroupper) where the
// processor has them; elsewhere does nothing.
void clearUpperVectorHalves();
