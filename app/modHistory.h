#pragma once

class frmHistory;

// Tools > History...: every publish attempt kept, newest first, modal over the main window.
void ShowHistory();
void LoadHistory(frmHistory& dialog);
