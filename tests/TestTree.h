// Real folder trees for the tests, written one entry a line in a notation
// that MakeTree and ReadTree read and ListTree writes:
//
//   common: SU_Tarvex_V2/plug_in/a.rb [read-only]
//   user: SU_Tarvex_V2/shared@ -> outside/keep
//   {user,common}: SU_Tarvex_V2/{a,b}.rb
//
// First a root (a folder of the sandbox: see Sandbox), then the path below
// it with "/" separators: a folder ends in "/", a link in "@" (to the target
// after "->"); a file with "->" is another name (a hard link) of the target. Attributes: read-only,
// held (kept open without delete sharing until the sandbox goes), and any other word a test marks
// an entry with. Braces expand as in a POSIX shell,
// "{a,b}"; in a name, "{260}" fills the name with "x" until the entry's full
// path is that many code units long. A tree is written by its leaves: the
// folders above an entry are implied.
//
// A host shell makes the trees (Wine cannot make links from the Windows
// side, nor can a plain path name "x " or "NUL"); ListTree lists them
// through the Windows API.
#pragma once

#include "tools/wine/WineHost.h"

#include <map>
#include <set>
#include <string>
#include <vector>

// A fresh folder for one case, in a scratch folder that this process made
// for itself. Its roots: `appdata` (the per-user folder) and `user` (its
// Plugins), `programdata` and `common` (the same for all users), `outside`
// and `elsewhere` (outside's own SketchUp Plugins), `longdata` and `long` (a
// per-user folder 188 code units long).
struct Sandbox {
    std::wstring folder;
    std::map<std::string, std::wstring> roots;
};

Sandbox MakeSandbox();
void RemoveSandbox(const Sandbox& sandbox);

void MakeTree(const Sandbox& sandbox, const std::string& tree);
// The lines of a tree as ListTree writes them.
std::set<std::string> ReadTree(const Sandbox& sandbox, const std::string& tree);
// The leaves below the sandbox's roots; links are not followed.
std::set<std::string> ListTree(const Sandbox& sandbox);
// The Windows paths a tree names ("dir/" names what is below dir), or those
// of its entries marked so.
std::vector<std::wstring> PathsOf(const Sandbox& sandbox, const std::string& tree,
                                  const char* marked = nullptr);

// The host path of a path in the sandbox, quoted for a POSIX shell.
std::string OnHost(const std::wstring& path);
// Runs a POSIX shell script on the host; returns whether it succeeded.
bool RunOnHost(const std::string& script);
