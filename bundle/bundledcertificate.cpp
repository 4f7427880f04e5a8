#include "bundledcertificate.h"

namespace Ps {

const wchar_t *storeName(StoreList list)
{
    switch (list) {
    case StoreList::Root:
        return L"ROOT";
    case StoreList::Intermediate:
        break;
    }
    return L"CA";
}

QString storeLabel(StoreList list)
{
    return QString::fromWCharArray(storeName(list));
}

std::optional<StoreList> storeListNamed(const QString &label)
{
    for (const StoreList list : {StoreList::Root, StoreList::Intermediate}) {
        if (label == storeLabel(list))
            return list;
    }
    return std::nullopt;
}

} // namespace Ps
