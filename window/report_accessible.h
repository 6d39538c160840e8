#pragma once

// The report view as assistive technology sees it: a read-only, multi-line
// text whose characters, caret and selection are read through
// QAccessibleTextInterface, however the view draws them.

// Registers the report view's accessible interface with Qt; safe to call often.
void installReportAccessibility();
