#pragma once

// What the updater does to its own process before it reads or opens anything,
// because it is about to hold the key's SO PIN.

namespace korvene {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// file the program opens later (libusb's event descriptor, the key's device
// node) takes a standard number and receives its output or is read as its
// input. A closed standard input then reads as end of input.
void openClosedStandardDescriptors();

// Makes the process non-dumpable: no core file is written when it is killed
// or crashes, so the PIN never reaches the disk that way, and another process
// of the same user cannot attach to it or read its memory.
void forbidCoreDumps();

}  // namespace korvene
