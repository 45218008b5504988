#pragma once

class QFileDialog;

namespace velto {

// Shows the mnemonics of a file dialog's own labels ("Look &in:" reads "Look in:" with the i
// underlined): each label whose text holds one and that has no buddy is given the control beside
// it, so the letter shows underlined and Alt+letter reaches that control. Call it after the
// dialog's label texts are set.
void ShowLabelMnemonics(QFileDialog& dialog);

}  // namespace velto
