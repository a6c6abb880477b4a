#ifndef SCRIPT_MENU_KEPT_CODE_COMPILE_H
#define SCRIPT_MENU_KEPT_CODE_COMPILE_H

#include <string>

// In a child that runs no script, a whole interpreter lifetime: compiles the source of each Read
// record in file `read`, as importlib's source_to_code does with the interpreter's own compile,
// and appends a Compiled record of its code to `compiled`. What the program keeps is thus made by
// no code of the script's, whatever the script did in its action. Prints nothing: the action that
// read the source showed its warnings. A source that does not compile here (one whose encoding
// needs a codec from the standard library) is not kept.
void CompileForLater(int read, std::string &compiled);

#endif
