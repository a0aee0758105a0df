import QtQuick 2.7
import QtQml.Models 2.3

// A view model over `model` that shows only the items filterAcceptsItem accepts, in the
// order given by lessThan (stable for equal items). refresh() applies a changed filter.
DelegateModel {
    id: sfm
    property var filterAcceptsItem: function(item) { return true }
    property var lessThan: function(left, right) { return false }
    property bool sorting: false

    function insertPosition(item) {
        var lower = 0
        var upper = items.count
        while (lower < upper) {
            var middle = Math.floor(lower + (upper - lower) / 2)
            if (lessThan(item.model, items.get(middle).model))
                upper = middle
            else
                lower = middle + 1
        }
        return lower
    }

    function sort() {
        if (sorting)
            return
        sorting = true
        var skipped = 0
        while (unsorted.count > skipped) {
            var item = unsorted.get(skipped)
            if (!filterAcceptsItem(item.model)) {
                ++skipped
                continue
            }
            var index = insertPosition(item)
            item.groups = "items"
            items.move(item.itemsIndex, index)
        }
        sorting = false
    }

    function refresh() {
        if (items.count > 0)
            items.setGroups(0, items.count, "unsorted")
        sort()
    }

    items.includeByDefault: false
    groups: DelegateModelGroup {
        id: unsorted
        name: "unsorted"
        includeByDefault: true
        onChanged: sfm.sort()
    }
}
