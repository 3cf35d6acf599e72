# Copies the definition file to a .proto file that protoc accepts as it is,
# with a package line after the syntax line, so that the generated classes do
# not clash with the record structs of the same names.
# Usage: cmake -DIN=<definition file> -DOUT=<.proto file> -P ProtoFromDefinition.cmake
file(READ "${IN}" text)
string(REPLACE "syntax = \"proto2\";" "syntax = \"proto2\";\npackage generated;" text "${text}")
file(WRITE "${OUT}" "${text}")
