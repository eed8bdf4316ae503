-- A deterministic SQL workload for the sqlite3 shell under the tracker.
--
-- It drives the parts of SQLite that allocate in different ways: row-by-row
-- string building in recursive inserts, index builds, overflow pages of
-- large strings and blobs, one value of several megabytes, an external sort
-- that spills to temporary files (the page cache is kept small, so the
-- sorter's in-memory limit is its minimum of about 1 MB), rolled-back and
-- nested transactions, triggers, window functions and VACUUM.
--
-- Every line it prints is a count or a hash of query results (the shell's
-- sha3_query and .sha3sum): all arithmetic is on integers, so the output is
-- the same in every run and on both word sizes. Run it as
--   sqlite3 -batch -bail -init /dev/null DATABASE < workload.sql
-- on a database file that does not exist yet.

PRAGMA page_size = 4096;
PRAGMA cache_size = 64;
PRAGMA temp_store = FILE;
-- no fsync: the test measures memory, not the disk
PRAGMA synchronous = OFF;

CREATE TABLE customers (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  region INTEGER NOT NULL,
  joined INTEGER NOT NULL
);
CREATE TABLE orders (
  id INTEGER PRIMARY KEY,
  customer INTEGER NOT NULL REFERENCES customers (id),
  amount INTEGER NOT NULL,
  status TEXT NOT NULL,
  note TEXT NOT NULL
);
CREATE TABLE documents (
  id INTEGER PRIMARY KEY,
  title TEXT NOT NULL,
  body TEXT NOT NULL,
  data BLOB NOT NULL
);
CREATE TABLE audit (
  id INTEGER PRIMARY KEY,
  order_id INTEGER NOT NULL,
  old_amount INTEGER NOT NULL,
  new_amount INTEGER NOT NULL
);

-- The integers mix with Knuth's multiplicative constant, so neighbouring
-- rows differ while every run computes the same values.
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)
INSERT INTO customers (id, name, region, joined)
SELECT i,
       printf('customer-%05d-%s', i, substr('abcdefghijklmnopqrstuvwxyz', 1 + (i * 7) % 26, 1 + i % 13)),
       (i * 2654435761) % 17,
       20000101 + (i * 37) % 3650
FROM n;
COMMIT;

BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60000)
INSERT INTO orders (id, customer, amount, status, note)
SELECT i,
       1 + (i * 2654435761 / 1000) % 20000,
       (i * 2654435761) % 100000,
       CASE i % 5 WHEN 0 THEN 'new' WHEN 1 THEN 'paid' WHEN 2 THEN 'shipped' WHEN 3 THEN 'returned' ELSE 'closed' END,
       printf('%.*c%d', 1 + (i * 31) % 200, char(97 + (i * 13) % 26), i)
FROM n;
COMMIT;

-- Bodies of up to 24 KB and blobs of up to 16 KB live in overflow pages.
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1500)
INSERT INTO documents (id, title, body, data)
SELECT i,
       printf('document %d', (i * 7907) % 1500),
       replace(printf('%.*c', 1 + (i * 97) % 3000, 'x'), 'x', printf('%08d', i * 3)),
       CAST(replace(printf('%.*c', 1 + (i * 53) % 2000, 'x'), 'x', printf('%08x', i)) AS BLOB)
FROM n;
-- one value of 4 MB
INSERT INTO documents (id, title, body, data)
VALUES (100000, 'large', replace(printf('%.*c', 500000, 'x'), 'x', 'abcdefgh'), zeroblob(65536));
COMMIT;

CREATE INDEX orders_customer ON orders (customer);
CREATE INDEX orders_status_amount ON orders (status, amount);
CREATE UNIQUE INDEX customers_name ON customers (name);
CREATE INDEX documents_title ON documents (title);

CREATE TRIGGER orders_audit AFTER UPDATE OF amount ON orders
BEGIN
  INSERT INTO audit (order_id, old_amount, new_amount) VALUES (old.id, old.amount, new.amount);
END;

SELECT 'rows', (SELECT count(*) FROM customers), (SELECT count(*) FROM orders), (SELECT count(*) FROM documents);
SELECT 'document bytes', sum(length(body)), sum(length(data)) FROM documents;

-- Updates and deletes, one rolled back and one kept.
BEGIN;
UPDATE orders SET amount = amount + 7, status = 'late' WHERE id % 11 = 0;
UPDATE documents SET body = body || body WHERE id % 50 = 0;
SAVEPOINT before_delete;
DELETE FROM customers;
DELETE FROM orders;
SELECT 'inside savepoint', (SELECT count(*) FROM customers), (SELECT count(*) FROM orders);
ROLLBACK TO before_delete;
RELEASE before_delete;
COMMIT;
SELECT 'audit', count(*), sum(new_amount - old_amount) FROM audit;

BEGIN;
DELETE FROM orders WHERE amount < 5000;
DELETE FROM documents WHERE id % 3 = 0;
COMMIT;
SELECT 'after delete', (SELECT count(*) FROM orders), (SELECT count(*) FROM documents);

-- Joins and groups.
SELECT 'region', c.region, count(*), sum(o.amount), min(o.amount), max(o.amount)
FROM orders AS o JOIN customers AS c ON c.id = o.customer
GROUP BY c.region
ORDER BY c.region;

SELECT 'status', status, count(*), sum(amount)
FROM orders
GROUP BY status
ORDER BY count(*) DESC, status;

SELECT 'top customers', hex(sha3_query(
  'SELECT c.name, count(*) AS n, sum(o.amount) AS total
   FROM customers AS c JOIN orders AS o ON o.customer = c.id
   GROUP BY c.id HAVING n > 2
   ORDER BY total DESC, c.name LIMIT 500', 256));

SELECT 'customers without orders', count(*)
FROM customers AS c LEFT JOIN orders AS o ON o.customer = c.id
WHERE o.id IS NULL;

-- Sorts of several megabytes on unindexed keys: these go through the
-- external sorter's temporary files.
SELECT 'sorted notes', hex(sha3_query(
  'SELECT o.note, c.name, o.id FROM orders AS o JOIN customers AS c ON c.id = o.customer
   ORDER BY o.note DESC, c.name, o.id', 256));
SELECT 'sorted documents', hex(sha3_query(
  'SELECT id, length(body), substr(body, 1, 64) FROM documents ORDER BY body, id', 256));
SELECT 'grouped orders', hex(sha3_query(
  'SELECT customer, count(*), sum(amount), group_concat(id) FROM orders
   GROUP BY customer ORDER BY sum(amount) DESC, customer', 256));

SELECT 'running totals', hex(sha3_query(
  'SELECT id, sum(amount) OVER (PARTITION BY status ORDER BY id ROWS BETWEEN 10 PRECEDING AND CURRENT ROW),
          rank() OVER (PARTITION BY customer % 97 ORDER BY amount DESC, id)
   FROM orders ORDER BY id', 256));

SELECT 'blob hash', hex(sha3_query('SELECT id, data FROM documents ORDER BY id', 256));
SELECT 'large value', length(body), hex(sha3(body, 256)) FROM documents WHERE id = 100000;

-- A temporary table and a view on top of the rest.
CREATE TEMP TABLE busy AS
SELECT customer, count(*) AS n FROM orders GROUP BY customer HAVING n >= 4;
CREATE TEMP VIEW busy_orders AS
SELECT o.* FROM orders AS o JOIN busy AS b ON b.customer = o.customer;
SELECT 'busy', (SELECT count(*) FROM busy), count(*), sum(amount) FROM busy_orders;
DROP VIEW busy_orders;
DROP TABLE busy;

-- Freed pages go back to the file.
SELECT 'pages freed before vacuum', freelist_count > 0 FROM pragma_freelist_count;
VACUUM;
SELECT 'freelist after vacuum', freelist_count FROM pragma_freelist_count;
PRAGMA integrity_check;
.sha3sum
SELECT 'done';
