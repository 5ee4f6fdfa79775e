// Explicit instances of the radix algorithms for the key types that use them.
