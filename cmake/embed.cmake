# Writes OUTPUT, a C++ file that defines `const char NAME[]` holding the
# bytes of INPUT, so that a program carries the file inside it.
# cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P embed.cmake
file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Made from ${NAME}'s file by cmake/embed.cmake; do not edit.\nextern const char ${NAME}[];\nconst char ${NAME}[] = {${bytes} 0};\n")
