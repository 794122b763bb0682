#include "common/KelDelegate.h"

DelegateHandle BaseDelegateInterface::ref(uint64_t id)
{
	// One allocation for the record and its control block.
	return DelegateHandle(std::make_shared<DelegateHandleInfo>(id, this));
}
