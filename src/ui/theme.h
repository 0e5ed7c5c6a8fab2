#pragma once

#include <QString>

class QLabel;

// The launcher's dark look where the window's form cannot give it by itself.
namespace theme {

// Rules for every dialog over the window (message boxes, settings): a dark panel with light
// text and compact red buttons without icons; the settings page's smaller texts and fields come
// last, so they win over the general dialog rules of the same weight. Works as a dialog's own
// style sheet and appended to the window's, where it outweighs the window's broader label and
// button rules.
QString dialogStyleSheet();

// Paints the dark band of the window's labels behind the label's text, and nothing while the text
// is empty. The label's own style sheet must leave its background transparent: a styled
// background is painted before the label can look at its text. Its size stays the same either
// way, so the layout does not move when text arrives.
void bandBehindText(QLabel *label);

} // namespace theme
