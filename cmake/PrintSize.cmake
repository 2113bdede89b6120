# Prints the size of FILE, for the build log: the unpacker's size is the
# overhead that every installer carries.
file(SIZE "${FILE}" size)
math(EXPR kib "${size} / 1024")
message(STATUS "${NAME}: ${size} bytes (${kib} KiB)")
