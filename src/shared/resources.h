#pragma once

// The pictures live in a static library, where nothing would pull them in
// by itself: every window that shows one calls this first.
void LoadProgramResources();
