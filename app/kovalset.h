// The utility's run: banner, command line, settings key, both settings.
#ifndef APP_KOVALSET_H_
#define APP_KOVALSET_H_

extern const char kTitle[];
extern const char kNotice[];

// Runs the utility on the given argument vector (word 0 is the program name;
// the words are upper-cased in place). Everything goes to standard output,
// which is flushed before it returns. Returns the exit status: 0 when the run
// did all it set out to do, 1 when it printed an error line or could not
// write its output.
int RunKovalset(int argc, char** argv);

#endif  // APP_KOVALSET_H_
