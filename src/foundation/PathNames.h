// Composing and taking apart paths, and making text safe as a file name.
//
// Paths use the platform separator (platform::kPathSeparator); a folder path
// ends with it. Nothing here touches the file system.
#pragma once

#include "nimbrel/CString.h"

// Appends `component` to `folder` with exactly one separator between them:
// a separator at both sides is collapsed, one is added when neither side has
// it. An empty folder takes the component as it is.
void AppendPathComponent(CString& folder, const CString& component);

// folder + separator + name, then "." + extension when an extension is given.
// A null folder gives the name alone; a null name counts as empty.
CString MakePath(const wchar_t* folder, const wchar_t* name, const wchar_t* extension);

// Replaces the characters that file systems refuse or that have a meaning in
// paths: "*", "?", "\", "~", "/", "<", ">", "|", '"' and ":" become "_", and
// "&" becomes "and".
void MakeValidFileName(CString& name);

// The folder that holds `path`, ending with the separator; trailing
// separators of `path` are ignored, so a folder's parent is returned too
// ("W/General/" gives "W/"). A path without any separator is returned
// without trailing ones; an empty path gives "".
CString GetParentFolder(const CString& path);

// The file name of `path` without its extension: the text after the last
// separator and before the last "." of that name ("W/Alpha.so" gives "Alpha").
// A "." in a folder name is not an extension.
CString GetFileTitleOf(const CString& path);

// The text after the last separator, or the whole path when it has none.
CString GetFileNameOf(const CString& path);
