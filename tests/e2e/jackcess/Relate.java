// Adds two related tables to an Access file through Jackcess (a test aid
// the end-to-end tests compile when a JDK is at hand): PARENTS with a
// primary key, CHILDREN whose PARENT_ID refers to it with referential
// integrity, and rows in both, some of them Null.
import com.healthmarketscience.jackcess.ColumnBuilder;
import com.healthmarketscience.jackcess.DataType;
import com.healthmarketscience.jackcess.Database;
import com.healthmarketscience.jackcess.DatabaseBuilder;
import com.healthmarketscience.jackcess.IndexBuilder;
import com.healthmarketscience.jackcess.RelationshipBuilder;
import com.healthmarketscience.jackcess.Table;
import com.healthmarketscience.jackcess.TableBuilder;
import java.io.File;

public class Relate {
  public static void main(String[] args) throws Exception {
    try (Database db = new DatabaseBuilder(new File(args[0])).open()) {
      Table parents = new TableBuilder("PARENTS")
          .addColumn(new ColumnBuilder("ID", DataType.LONG))
          .addColumn(new ColumnBuilder("NAME", DataType.TEXT).setLengthInUnits(40))
          .addIndex(new IndexBuilder(IndexBuilder.PRIMARY_KEY_NAME).addColumns("ID").setPrimaryKey())
          .addIndex(new IndexBuilder("NAME_DESC").addColumns(false, "NAME"))
          .toTable(db);
      Table children = new TableBuilder("CHILDREN")
          .addColumn(new ColumnBuilder("ID", DataType.LONG))
          .addColumn(new ColumnBuilder("PARENT_ID", DataType.LONG))
          .addColumn(new ColumnBuilder("NOTE", DataType.MEMO))
          .addIndex(new IndexBuilder(IndexBuilder.PRIMARY_KEY_NAME).addColumns("ID").setPrimaryKey())
          .addIndex(new IndexBuilder("BY_PARENT").addColumns(false, "PARENT_ID").addColumns("ID"))
          .toTable(db);
      for (int i = 1; i <= 20; i++) parents.addRow(i, i % 4 == 0 ? null : "parent " + i);
      for (int i = 1; i <= 60; i++)
        children.addRow(i, i % 7 == 0 ? null : 1 + i % 20, i % 9 == 0 ? "long ".repeat(900) : "child " + i);
      new RelationshipBuilder("PARENTS", "CHILDREN").addColumns("ID", "PARENT_ID")
          .setReferentialIntegrity().toRelationship(db);
    }
  }
}
