#ifndef SCRIPT_MENU_STANDARD_INPUT_H
#define SCRIPT_MENU_STANDARD_INPUT_H

// In an action's interpreter, before the script's import: when descriptor 0 is not a terminal,
// sys.stdin and sys.__stdin__ become a stream that reads no further than the script uses, so that
// the menu reads on where the script stopped (standard_input.py). With `lineFeedToDrop`, an LF that
// is the first byte read, whenever it comes, is dropped: the end of the menu's CR LF. On a terminal
// each read returns at most a line anyway, and python3's sys.stdin stays. When the replacement
// cannot be made, the interpreter's error is left pending for the caller to report, and the script
// gets python3's.
void InstallStandardInput(bool lineFeedToDrop);

#endif
