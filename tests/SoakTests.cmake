# The short soak runs: the soak programs with small counts; each fails when a property broke.
