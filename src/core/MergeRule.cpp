#include "core/MergeRule.h"

CMergeRule::CMergeRule(int overwritePolicy) {
  switch (overwritePolicy) {
    case 1: weight_ = 1000; break;
    case 2: weight_ = 0.1; break;
    case 3: weight_ = 1.1; break;
    default: weight_ = 0; break;
  }
}
