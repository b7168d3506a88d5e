#pragma once

#include <QIcon>

// The tray item's "custom-chevron-up" artwork, drawn per size so it stays crisp at the sizes
// panels ask for (16-64 px) and readable on dark and light panels alike (a bright stroke with a
// dark rim). The problem variant is amber with a red mark, for when the CLI needs attention.
QIcon chevronIcon(bool problem = false);
