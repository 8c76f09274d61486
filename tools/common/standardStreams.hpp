#pragma once

// The standard streams of a console program, set up at its start and checked at its end.

// Called first thing in main. Any of descriptors 0, 1 and 2 that is closed is given a
// placeholder, so that no file the program opens can take its number and receive what is
// printed; the placeholder refuses what the descriptor is for (reads on 0, writes on 1 and 2),
// so that using a closed one still fails as it would have. On Windows the console shows UTF-8 output, which is what the
// programs print.
void prepareStandardStreams();

// Flushes standard output now (to keep it in order with standard error), noting why it failed
// if it did, for finishStandardOutput to say.
void flushStandardOutput();

// Flushes and closes standard output, the last thing before the program returns `status`.
// Returns `status` when everything printed arrived; otherwise says "<complaint>REASON" on
// standard error, where a complaint is given, and returns `failureStatus`.
int finishStandardOutput(int status, int failureStatus, const char* complaint = nullptr);
