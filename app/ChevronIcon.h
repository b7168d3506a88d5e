#pragma once

#include <QIcon>

// The tray item's "custom-chevron-up" artwork, drawn per size so it stays crisp at 16-32 px
// and readable on dark and light panels alike (a light stroke with a dark rim).
QIcon chevronIcon();
// The same in a warning colour, for when the CLI needs the user (problem) or not.
QIcon chevronIcon(bool problem);
