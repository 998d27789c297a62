#pragma once

#include <pugixml.hpp>

#include "device/signal.h"

namespace vd {

// The signal element: the XML form of one TSignal, the content of the ".sig"
// files of the signal buffer and the payload of the Kernel signal document.
// Its children, in the order written (readers find them by name in any
// order): TimeIn, TimeSource, SourceTimeValid, DriverPort, HardwareNumber,
// DriverName, SignalType, CanalType, CanalSlot, Code, Extension1 ...
// Extension5, Value, DriverPortName.
//
// The texts of a TSignal are Windows-1250 bytes; in XML they are UTF-8. Every
// byte from 0x20 to 0xFF, tab and line feed read back unchanged. A control
// character that XML cannot carry comes back as its "[XX]" escape, and so
// does carriage return, which a conforming parser would turn into a line
// feed.
//
// Free functions without state; safe to call from any thread.

// Appends one child element per field of signal to element.
void WriteSignalXml(const TSignal& signal, pugi::xml_node element);

// Reads a signal from the children of element. Code is cut to 20 bytes and
// the extensions to 100. Raises EXMLDocError when a child is missing and
// EConvertError when a number does not parse (or SignalType does not fit in
// one byte).
TSignal ReadSignalXml(pugi::xml_node element);

// Parses a signal document ("<Signal><Signal>...</Signal></Signal>") as the
// signal buffer's files hold it. Texts that consist of blanks only are kept.
// Raises EXMLDocError when the text is not well-formed or lacks an element,
// EConvertError as ReadSignalXml.
TSignal ParseSignalDocument(std::string_view text);

// The one-line signal document of a signal, declaration first.
std::string SignalDocument(const TSignal& signal);

}  // namespace vd
