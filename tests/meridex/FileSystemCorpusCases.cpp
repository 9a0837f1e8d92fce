// Rows of the corpus test about what the file system holds about a file
// (owner and group, extended attributes, hard links, unusual names): each
// prepares the made file in `prepare` and checks it in `checkSaved`, while
// the test checks as for every row that the tags and the audio stay.
#include "CorpusCase.h"

namespace corpus {

const std::vector<CorpusCase>& FileSystemCases() {
  static const std::vector<CorpusCase> cases;
  return cases;
}

}  // namespace corpus
